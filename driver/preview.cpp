#include "driver/preview.h"

#include "driver/demo.h"
#include "driver/frame_loop.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "show/script.h"
#include "synth/synth.h"

#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::string minutes(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u:%04.1f", ms / 60000, double(ms % 60000) / 1000.0);
    return text;
}

// The show's state as a capture at 75 fps has it at show time ms, the clock
// there and the song at position: the next pass draws the frame of that time.
void go_to(uint32_t ms, int32_t position)
{
    const int64_t frame = offline_frame_at(int32_t(ms), OfflineMaxFps);
    if (frame > 0)
        offline_replay(frame - 1, OfflineMaxFps);
    else
        offline_start();
    SongPosition.store(position, std::memory_order_relaxed);
    FrameLoop.t0 = playback_clock_ms() - ms;
    Preview.pausedAt = ms;
    Preview.redraw = true;
}

// Moves with the audio device held, so that the callback never sees half a move.
void seek(uint32_t ms)
{
    SDL_LockAudio();
    go_to(ms, std::min(offline_song_position(int32_t(ms)), SongBufferSamples));
    SDL_UnlockAudio();
    if (Preview.atEnd) {
        Preview.atEnd = false;
        Preview.paused = false;
        SDL_PauseAudio(0);
    }
}

void pause(bool on)
{
    if (on == Preview.paused)
        return;
    if (on) {
        Preview.pausedAt = frame_loop_elapsed();
    } else {
        FrameLoop.t0 = playback_clock_ms() - Preview.pausedAt;
        Preview.atEnd = false;
    }
    Preview.paused = on;
    SDL_PauseAudio(on ? 1 : 0);
}

void seek_bar(int32_t delta)
{
    const uint32_t now = Preview.paused ? Preview.pausedAt : frame_loop_elapsed();
    const int32_t bar = std::max(song_bar(offline_song_position(int32_t(now))) + delta, 0);
    const int64_t start = song_bar_start(bar);
    // The first whole millisecond at which that bar plays.
    seek(uint32_t(std::min<int64_t>((start * 10 + 440) / 441, int64_t(SongBufferSamples) * 10 / 441)));
}

void show_problem(const std::string& message)
{
    Preview.problem = message;
    if (!message.empty())
        std::fprintf(stderr, "velomira: %s\n", message.c_str());
    const std::string caption = message.empty() ? "Velomira" : "Velomira: " + message.substr(0, message.find('\n'));
    SDL_WM_SetCaption(caption.c_str(), nullptr);
}

// A save: checked, then rendered and taken up at the same sample, or refused
// with the old version still playing. The audio device is held meanwhile
// (the parse and the render move SongPosition, its counter): a render of a
// few tens of milliseconds fits in what the device has queued, so nothing is
// heard but the new music from where the old one was.
void reload()
{
    const uint32_t started = playback_clock_ms();
    SDL_LockAudio();
    const uint32_t ms = Preview.paused ? Preview.pausedAt : frame_loop_elapsed();
    const int32_t position = SongPosition.load(std::memory_order_relaxed);
    const ShowScriptState script = ShowScript;
    const BarClockState clock = BarClock;
    const int32_t length = SongBufferSamples;

    std::string message;
    if (demo_load_song(Preview.path, message) < 0) {
        ShowScript = script;
        BarClock = clock;
        SongBufferSamples = length;
        SongPosition.store(position, std::memory_order_relaxed);
        SDL_UnlockAudio();
        if (message != Preview.problem)
            show_problem(message);
        return;
    }
    const int32_t samples = demo_prerender_blocks() * PrerenderBlockSamples;
    synth_render_parallel(SongBuffer, samples);
    std::memset(SongBuffer + samples, 0, sizeof(int16_t) * size_t(std::max(length, SongBufferSamples) - samples));
    // The song goes on from the sample it had reached, the show from its time.
    go_to(ms, std::min(position, SongBufferSamples));
    SDL_UnlockAudio();
    if (Preview.atEnd)
        pause(false);
    if (!Preview.problem.empty())
        show_problem("");
    std::fprintf(stderr, "velomira: %s: playing the saved version from %s (bar %d), rendered in %u ms\n",
                 Preview.path.c_str(), minutes(ms).c_str(), song_bar(position), playback_clock_ms() - started);
}

void take_key(int32_t key)
{
    if (key == SDLK_q || key == SDLK_ESCAPE)
        Preview.quit = true;
    else if (key == SDLK_SPACE && Preview.atEnd)
        seek(0);
    else if (key == SDLK_SPACE)
        pause(!Preview.paused);
    else if (key == SDLK_LEFT)
        seek_bar(-1);
    else if (key == SDLK_RIGHT)
        seek_bar(1);
    else if (key == SDLK_HOME)
        seek(0);
}

}   // namespace

bool preview_start(const std::string& path, std::string& message)
{
    Preview.path = path;
    if (!file_watch_start(Preview.watch, path, message))
        return false;
    FrameLoop.keysTaken = true;
    return true;
}

void preview_step()
{
    for (int32_t k = 0; k < FrameLoop.keyCount; ++k)
        take_key(FrameLoop.keys[k]);
    FrameLoop.keyCount = 0;
    if (file_watch_saved(Preview.watch))
        reload();
    // The show's end holds the last frame; only q or Escape end the preview.
    if (QuitRequested && !Preview.atEnd) {
        QuitRequested = 0;
        pause(true);
        Preview.atEnd = true;
    }
    QuitRequested = Preview.quit ? 1 : 0;
}

bool preview_wants_frame()
{
    const bool once = Preview.redraw;
    Preview.redraw = false;
    return !Preview.paused || once;
}
