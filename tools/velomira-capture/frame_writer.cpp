#include "tools/velomira-capture/frame_writer.h"

#include <cstring>
#include <exception>
#include <new>

namespace {

// The work of one frame; an exception (out of memory) is a failed frame,
// since one escaping the worker would end the program without a word.
bool do_work(FrameWriter& writer, int32_t slot, std::string& error)
{
    try {
        return writer.work(writer.slots[slot].data(), writer.slotFrame[slot], error);
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    } catch (const std::exception& e) {
        error = e.what();
    }
    return false;
}

void run_worker(FrameWriter& writer)
{
    std::unique_lock<std::mutex> guard(writer.lock);
    for (;;) {
        writer.changed.wait(guard, [&] { return writer.queued > 0 || writer.stopping; });
        if (writer.queued == 0)
            return;   // stopping, and everything pushed is written
        int32_t slot = writer.head;
        bool skip = writer.failed;
        guard.unlock();
        std::string error;
        bool ok = skip || do_work(writer, slot, error);
        guard.lock();
        if (!ok && !writer.failed) {
            writer.failed = true;
            writer.error = error;
        }
        writer.head = (writer.head + 1) % FrameWriter::Slots;
        --writer.queued;
        writer.changed.notify_all();
    }
}

void stop(FrameWriter& writer)
{
    if (!writer.worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(writer.lock);
        writer.stopping = true;
    }
    writer.changed.notify_all();
    writer.worker.join();
}

} // namespace

FrameWriter::~FrameWriter()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        failed = true;   // a writer dropped unfinished writes nothing more
    }
    stop(*this);
}

void frame_writer_start(FrameWriter& writer, size_t frameBytes, FrameWork work)
{
    for (std::vector<uint8_t>& slot : writer.slots)
        slot.resize(frameBytes);
    writer.work = std::move(work);
    writer.worker = std::thread(run_worker, std::ref(writer));
}

bool frame_writer_push(FrameWriter& writer, const uint8_t* pixels, int64_t frame)
{
    std::unique_lock<std::mutex> guard(writer.lock);
    writer.changed.wait(guard, [&] { return writer.queued < FrameWriter::Slots || writer.failed; });
    if (writer.failed)
        return false;
    int32_t slot = (writer.head + writer.queued) % FrameWriter::Slots;
    // The worker never touches a slot that is not queued, so the copy can
    // run outside the lock.
    guard.unlock();
    std::memcpy(writer.slots[slot].data(), pixels, writer.slots[slot].size());
    writer.slotFrame[slot] = frame;
    guard.lock();
    ++writer.queued;
    writer.changed.notify_all();
    return true;
}

bool frame_writer_finish(FrameWriter& writer, std::string& error)
{
    stop(writer);
    if (writer.failed)
        error = writer.error;
    return !writer.failed;
}
