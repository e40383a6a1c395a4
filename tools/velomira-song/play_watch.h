// velomira-song play --watch: every save of the score rendered again on a
// worker thread while the last good take goes on playing, then swapped in
// at the same place in the music. The watch itself is driver/file_watch.h.
//
// Owns Render: the worker, its take and its result. While `running`, only
// the worker touches Song, Synth and `take`; the main thread looks at
// `done`, then at the rest; the worker also writes a byte into `wake`, so
// a loop asleep in poll() takes the new take up at once. Quitting never waits for a render: a render
// still running at the end is left behind (song_tool_play ends the process).
//
// Order of use, on the main thread, each pass of play's loop:
// render_on_save (a save starts a render, or marks one to follow the
// running one), then render_collect (a finished render swapped in under
// SDL's audio lock, or its message kept as the problem to show).
// play_render_take is the same read and render for the first take, and
// play_place_loop finds the loop's samples in the take being heard.
#pragma once

#include "play.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

struct FileWatch;

struct Render {
    std::thread thread;
    std::atomic<bool> done{false};
    bool running = false;
    bool again = false;           // another save came during this render
    std::unique_ptr<Take> take;   // the worker's; between renders the take last swapped out
    int result = 0;
    std::string message;
    int wake[2] = {-1, -1};        // a pipe: readable once a render is done

    Render();
    Render(const Render&) = delete;
    Render& operator=(const Render&) = delete;
    ~Render();
};

// The take from a read and a render of options.song; -1 with the message.
int play_render_take(const PlayOptions& options, const std::string& name, Take& take, std::string& message);

// Player's loop samples from its bars in the take being heard.
void play_place_loop();

// A save of the watched score: a render started, or one more after the
// running one. Nothing without a watch (fd < 0).
void render_on_save(Render& render, FileWatch& watch, const PlayOptions& options, const std::string& name);

// A finished render: its take swapped in and problem cleared, or its
// message made the problem; either printed on stderr (the take's first
// warning, or the message) when no status line shows it, statusShown
// false. Then the save that came meanwhile, if any.
void render_collect(Render& render, const PlayOptions& options, const std::string& name, bool statusShown,
                    std::string& problem);
