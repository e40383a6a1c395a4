// One pass of the frame loop, for the native program and the browser build.
#include "driver/frame_loop.h"

#include "driver/demo.h"
#include "playback/playback.h"
#include "render3d/r3d.h"
#include "show/show.h"

#include <SDL.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Drawing target for a surface whose rows are not 640 bytes apart: the frame
// is drawn here and copied row by row. It persists between frames like the
// surface would, so a pass that draws nothing shows the previous picture.
uint8_t PaddedFrame[FramePixels];

void drain_events()
{
    SDL_Event event;
    while (SDL_PollEvent(&event) > 0) {
        if (FrameLoop.keysTaken) {
            if (event.type == SDL_KEYDOWN && FrameLoop.keyCount < FrameLoopMaxKeys)
                FrameLoop.keys[FrameLoop.keyCount++] = int32_t(event.key.keysym.sym);
            continue;
        }
        // Closing the window is deliberately not a way out: only a key or a
        // mouse button ends the show early.
        if (event.type == SDL_MOUSEBUTTONDOWN || event.type == SDL_KEYDOWN)
            QuitRequested = 1;
    }
}

void draw_frame(SDL_Surface* screen, uint32_t t0)
{
    SDL_LockSurface(screen);
    uint32_t elapsed = playback_clock_ms() - t0;
    show_levels(SongBuffer + level_window_start(elapsed));

    bool direct = screen->pitch == FrameWidth;
    uint8_t* pixels = direct ? static_cast<uint8_t*>(screen->pixels) : PaddedFrame;
    show_frame(pixels, int32_t(playback_clock_ms() - t0));
    if (!direct) {
        auto* rows = static_cast<uint8_t*>(screen->pixels);
        for (int y = 0; y < FrameHeight; ++y)
            std::memcpy(rows + y * screen->pitch, PaddedFrame + y * FrameWidth, FrameWidth);
    }
    SDL_UnlockSurface(screen);
    SDL_Flip(screen);
}

} // namespace

namespace {

// SDL's disk driver sleeps SDL_DISKAUDIODELAY ms after every buffer, read
// with atoi: a negative value sleeps for weeks, and the audio thread can
// then never be closed. Anything but 0 to 60000 ms is dropped, and said.
void check_disk_audio_delay()
{
    const char* delay = std::getenv("SDL_DISKAUDIODELAY");
    if (!delay)
        return;
    int32_t ms = -1;
    const char* end = delay + std::strlen(delay);
    const auto [at, error] = std::from_chars(delay, end, ms);
    if (error == std::errc() && at == end && at != delay && ms >= 0 && ms <= 60000)
        return;
    std::fprintf(stderr, "SDL_DISKAUDIODELAY=%s: not a delay in milliseconds (0 to 60000); SDL's default is used\n",
                 delay);
    unsetenv("SDL_DISKAUDIODELAY");
}

}   // namespace

bool frame_loop_open_audio_device(int32_t frames, AudioCallback callback, std::string& reason)
{
    check_disk_audio_delay();
    SDL_AudioSpec want;
    std::memset(&want, 0, sizeof want);
    want.freq = SongSampleRate;
    want.format = AUDIO_S16SYS;   // the SongBuffer is in native byte order
    want.channels = 2;
    want.samples = uint16_t(frames);
    want.callback = callback;
    want.userdata = nullptr;
    // No obtained format is asked for: SDL converts to whatever the device needs.
    if (SDL_OpenAudio(&want, nullptr) < 0) {
        reason = SDL_GetError();
        return false;
    }
    return true;
}

void frame_loop_open_audio(AudioCallback callback)
{
    std::string reason;
    if (!frame_loop_open_audio_device(4096, callback, reason))
        std::fprintf(stderr, "velomira: no audio device (%s); the show runs silently\n", reason.c_str());
}

SDL_Surface* frame_loop_open_screen(uint32_t flags)
{
    SDL_Surface* screen = SDL_SetVideoMode(FrameWidth, FrameHeight, 8, flags);
    if (!screen) {
        std::fprintf(stderr, "velomira: cannot open a %dx%d 8-bit screen: %s\n", FrameWidth, FrameHeight,
                     SDL_GetError());
        return nullptr;
    }
    SDL_SetColors(screen, reinterpret_cast<SDL_Color*>(DemoPalette), 0, 256);
    SDL_WM_SetCaption("Velomira", nullptr);
    return screen;
}

void frame_loop_begin_show(SDL_Surface* screen)
{
    SDL_PauseAudio(0);
    frame_loop_start(screen);
}

void frame_loop_start(SDL_Surface* screen)
{
    FrameLoop.screen = screen;
    FrameLoop.t0 = playback_clock_ms();
    FrameLoop.frames = 0;
}

void frame_loop_step()
{
    draw_frame(FrameLoop.screen, FrameLoop.t0);
    ++FrameLoop.frames;
    drain_events();
}

void frame_loop_drain_events()
{
    drain_events();
}

uint32_t frame_loop_elapsed()
{
    return playback_clock_ms() - FrameLoop.t0;
}

double frame_loop_rate()
{
    uint32_t elapsed = playback_clock_ms() - FrameLoop.t0;
    // A run that ends within its first millisecond gives an infinite rate.
    return double(float(FrameLoop.frames) / float(elapsed)) * 1000.0;
}
