// velomira --song FILE --watch: the demo as a live preview of a score.
//
// The show plays as usual, but every save of FILE is checked at once: a good
// one is rendered anew and the show goes on from the same time with the new
// music and the new script, in the state a capture at 75 fps reaches at that
// time (offline_replay); a bad one keeps the last good version playing, and
// its first message goes to stderr and into the window's caption until the
// next good save. Keys control the preview instead of ending the show: space
// pauses, left/right move one bar, Home goes to the start, q or Escape quit.
// At the show's end the preview holds its last frame and waits for a key.
//
// Owns Preview. Main thread only; the audio device is paused while the song
// is rendered anew (the render moves SongPosition, the audio thread's
// counter). Order of use: the usual start-up with the score, then
// preview_start; then each pass frame_loop_step (or frame_loop_drain_events
// when not preview_wants_frame()) followed by preview_step.
#pragma once

#include "driver/file_watch.h"

#include <cstdint>
#include <string>

struct PreviewState {
    std::string path;
    FileWatch watch;
    bool paused = false;       // by space, or held at the show's end
    bool atEnd = false;        // held at the show's end
    uint32_t pausedAt = 0;     // show time of the pause
    bool quit = false;         // q or Escape
    bool redraw = false;       // a move while paused: draw its frame once
    std::string problem;       // the last bad save's first message; "" after a good one
};
inline PreviewState Preview;

// Starts watching path and takes the keys from the frame loop; false with a
// message when the file cannot be watched.
bool preview_start(const std::string& path, std::string& message);

// The saves and keys since the last call, and the hold at the show's end.
void preview_step();

// Whether the next pass draws a frame: always while playing, once after a
// move while paused; otherwise the pass only takes the events.
bool preview_wants_frame();
