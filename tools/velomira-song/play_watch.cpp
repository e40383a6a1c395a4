#include "play_watch.h"

#include "driver/file_watch.h"
#include "driver/score_check.h"
#include "synth/score_file.h"
#include "tools/common/signals.h"

#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

namespace {

void render_work(Render& render, const PlayOptions& options, const std::string& name)
{
    try {
        render.result = play_render_take(options, name, *render.take, render.message);
    } catch (const std::bad_alloc&) {
        render.result = -1;
        render.message = name + ": error: out of memory rendering this version";
    } catch (const std::exception& error) {
        render.result = -1;
        render.message = name + ": error: " + error.what();
    }
    render.done.store(true, std::memory_order_release);
    if (render.wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(render.wake[1], &byte, 1);   // full: a wake-up is already due
    }
}

void render_start(Render& render, const PlayOptions& options, const std::string& name)
{
    if (!render.take)
        render.take = std::make_unique<Take>();   // later: the take swapped out, its memory mapped
    render.done = false;
    render.again = false;
    render.running = true;
    SignalsHeldOff held;
    render.thread = std::thread(render_work, std::ref(render), std::cref(options), std::cref(name));
}

// The new take in place under the audio lock, at the same place in the
// music: the position (and a seek not yet taken up) at the same row and the
// same fraction of it at the new tempo, the loop on the same bars. At the
// same tempo every position stays the sample it was.
void swap_take(std::unique_ptr<Take>& next)
{
    SDL_LockAudio();
    const int64_t from = std::max(Player.take->rowLength, 1), to = std::max(next->rowLength, 1);
    auto moved = [&](int32_t p) {
        return p < 0 ? p : int32_t(std::min<int64_t>(int64_t(p) * to / from, next->length()));
    };
    Player.position = moved(Player.position);
    Player.seekTo = moved(Player.seekTo);
    std::swap(Player.take, next);
    play_place_loop();
    SDL_UnlockAudio();
}

}   // namespace

Render::Render()
{
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        wake[0] = wake[1] = -1;   // the loop's regular wake-ups still collect a render
}

Render::~Render()
{
    if (thread.joinable())
        thread.join();
    for (const int fd : wake)
        if (fd >= 0)
            close(fd);
}

int play_render_take(const PlayOptions& options, const std::string& name, Take& take, std::string& message)
{
    std::string text;
    if (score_read(options.song, text, message) < 0)
        return -1;
    // The checker's first word on a line, before the render (it parses
    // into the Song too).
    std::string warning;
    for (const ScoreFinding& f : score_check_text(text).findings)
        if (!f.finding.rejection && f.finding.line > 0) {
            warning = score_message(name, text, score_line_starts(text), f.finding);
            break;
        }
    if (take_render(name, text, 0, options.heard, take, message) < 0)
        return -1;
    take.warning = warning;
    return 0;
}

void play_place_loop()
{
    if (Player.loopFirstBar < 0)
        return;
    Player.loopFirst = Player.take->bar_start(Player.loopFirstBar);
    Player.loopEnd = Player.take->bar_start(Player.loopEndBar);
}

void render_on_save(Render& render, FileWatch& watch, const PlayOptions& options, const std::string& name)
{
    if (watch.fd < 0 || !file_watch_saved(watch))
        return;
    if (render.running)
        render.again = true;
    else
        render_start(render, options, name);
}

void render_collect(Render& render, const PlayOptions& options, const std::string& name, bool statusShown,
                    std::string& problem)
{
    if (!render.running || !render.done.load(std::memory_order_acquire))
        return;
    char drained[16];
    while (render.wake[0] >= 0 && read(render.wake[0], drained, sizeof drained) > 0) {
    }
    render.thread.join();
    render.running = false;
    if (render.result == 0) {
        swap_take(render.take);
        problem.clear();
        if (!statusShown && !Player.take->warning.empty())
            std::fprintf(stderr, "%s\n", Player.take->warning.c_str());
    } else {
        problem = render.message;
        if (!statusShown)
            std::fprintf(stderr, "%s\n", render.message.c_str());
    }
    if (render.again)
        render_start(render, options, name);
}
