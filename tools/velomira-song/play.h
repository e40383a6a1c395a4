// velomira-song play: a score through the sound device in real time, with a
// status line and keys in a terminal, and re-rendering on every save.
//
// Owns Player: the take being heard (swapped under SDL's audio lock, so the
// callback never sees half a take), the play position, the loop, pause and
// seek requests. Threads: the main thread renders, reads keys and file
// events and draws the status line; SDL's audio thread runs only the callback,
// which copies samples and moves the position. Rendering never happens on the
// audio thread, and the swap keeps the position: a new take continues at the
// same sample, so in the same bar.
#pragma once

#include "take.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct PlayOptions {
    std::string song;           // score file, or "-" for the embedded score
    int32_t from = -1;          // bar to start at; -1: the start (or the loop's start)
    int32_t loopFirst = -1;     // --loop A:B repeats bars A to B-1; -1: no loop
    int32_t loopEnd = -1;
    std::string solo, mute;     // track lists
    bool watch = false;
};

struct PlayerState {
    std::unique_ptr<Take> take;           // what the callback plays; swapped under the audio lock
    std::atomic<int32_t> position{0};     // next sample to hand to the device
    std::atomic<int32_t> seekTo{-1};      // a requested position, applied by the callback
    std::atomic<bool> paused{false};
    std::atomic<bool> finished{false};    // the song's end was reached (no loop)
    int32_t loopFirst = -1, loopEnd = -1; // samples; loopEnd <= loopFirst: no loop
};
inline PlayerState Player;

// SDL 1.2 audio callback: the take from the position on, both channels;
// silence while paused or after the end.
void play_audio_callback(void* userdata, uint8_t* stream, int len);

// Parses "A:B" into bars, A < B; -1 with a message.
int play_parse_loop(const std::string& text, int32_t& first, int32_t& end, std::string& message);

// The whole command; returns the exit status.
int song_tool_play(const PlayOptions& options);
