// The capture's writing thread: the renderer hands each finished frame over
// and goes on drawing the next one while a worker converts, encodes and
// writes it (Y4M, PNG, video), so on two cores writing costs little more
// than rendering.
//
// Order of use: frame_writer_start with the work to do per frame, then
// frame_writer_push per frame (it copies the pixels into one of a few slots
// and waits only while all slots are full), then frame_writer_finish, which
// waits for the last frame and stops the worker. Dropping a started writer
// without finishing it also stops the worker (a failure path).
//
// Threads: push and finish run on the rendering thread, the work on the
// worker. The slots, counts and error are guarded by the mutex; a slot's
// pixels belong to the renderer until pushed and to the worker until it has
// written them. After the first failed frame the worker writes nothing more;
// push and finish then return false and finish gives its error. An exception
// thrown by the work counts as a failed frame, its what() the error.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Writes one frame; false (with error set) when that fails.
using FrameWork = std::function<bool(const uint8_t* pixels, int64_t frame, std::string& error)>;

struct FrameWriter {
    static constexpr int32_t Slots = 4;
    std::vector<uint8_t> slots[Slots];
    int64_t slotFrame[Slots] = {};
    int32_t head = 0;     // next slot the worker takes
    int32_t queued = 0;   // frames waiting or being written
    bool stopping = false;
    bool failed = false;
    std::string error;
    FrameWork work;
    std::mutex lock;
    std::condition_variable changed;
    std::thread worker;

    FrameWriter() = default;
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;
    ~FrameWriter();
};

void frame_writer_start(FrameWriter& writer, size_t frameBytes, FrameWork work);
// false once an earlier frame has failed (nothing more is written).
bool frame_writer_push(FrameWriter& writer, const uint8_t* pixels, int64_t frame);
// Waits for every pushed frame; false (with error set) if any failed.
bool frame_writer_finish(FrameWriter& writer, std::string& error);
