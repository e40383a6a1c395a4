// velomira-song play: a score through the sound device in real time, with a
// status line and keys in a terminal, and re-rendering on every save.
//
// Owns Player: the take being heard (swapped under SDL's audio lock, so the
// callback never sees half a take), the play position, the loop, pause and
// seek requests. Threads: the main thread reads keys, signals and file
// events and draws the status line; a save is rendered on a worker thread
// (the only thread touching Song and Synth while it runs), so quitting never
// waits for a render; SDL's audio thread runs only the callback, which copies
// samples and moves the position. The swap keeps the place in the music:
// the position moves to the same row at the new take's tempo, and the loop's
// samples are found again from its bars, so a save that changes the tempo
// continues in the same bar and loops the same bars.
//
// Order of use: play_read_options on the command line's texts (every check
// that needs no score, before anything is rendered), then song_tool_play,
// which renders, checks the bars against the song, and only then opens the
// sound device. The command is play.cpp; the terminal (keys, status line)
// play_terminal.h; the watch and the renders on a worker play_watch.h.
//
// In a terminal: keys and the status line only while play is the terminal's
// foreground job (a job in the background plays on without touching the
// terminal); Ctrl+Z restores the terminal before stopping, and continuing
// takes the keys again. Signals that end play (INT, TERM, HUP, QUIT) restore
// the terminal and give the exit status 128 + the signal's number
// (tools/common/signals.h).
#pragma once

#include "synth/synth.h"
#include "take.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The command line as given: the texts of the options that were.
struct PlayArguments {
    std::string song;
    std::optional<std::string> from, loop, solo, mute;
    bool watch = false;
};

struct PlayOptions {
    std::string song;            // score file, or "-" for the embedded score
    int64_t from = -1;           // bar to start at; -1: the start (or the loop's start)
    int64_t loopFirst = -1;      // --loop A:B repeats bars A to B-1; -1: no loop
    int64_t loopEnd = -1;
    TrackChoice tracks;          // --solo and --mute
    uint32_t heard = AllTracks;  // bit t set: track t is in the mix
    bool watch = false;
};

struct PlayerState {
    std::unique_ptr<Take> take;           // what the callback plays; swapped under the audio lock
    std::atomic<int32_t> position{0};     // next sample to hand to the device
    std::atomic<int32_t> seekTo{-1};      // a requested position, applied by the callback
    std::atomic<bool> paused{false};
    std::atomic<bool> finished{false};    // the song's end was reached (no loop)
    int32_t loopFirst = -1, loopEnd = -1; // samples of the take; loopEnd <= loopFirst: no loop
    int32_t loopFirstBar = -1, loopEndBar = -1;   // the loop as given, for the next take
};
inline PlayerState Player;

// SDL 1.2 audio callback: the take from the position on, both channels;
// silence while paused or after the end.
void play_audio_callback(void* userdata, uint8_t* stream, int len);

// Reads the texts of the command line into options: decimal numbers only,
// tracks both soloed and muted, a start outside the loop, --watch on the
// embedded score. -1 with a message (without the program's name): a usage
// error.
int play_read_options(const PlayArguments& arguments, PlayOptions& options, std::string& message);

// The whole command; returns the exit status (2 for bars past the song's
// end, 1 for a failure, 128 + N after signal N).
int song_tool_play(const PlayOptions& options);
