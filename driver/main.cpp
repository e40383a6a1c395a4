// velomira: pre-renders the song, then plays it while the show follows it.
//
// The only file that talks to SDL. Start-up runs in one straight line (audio
// device opened paused, song rendered with a row of progress dots, screen and
// palette, playback started); the frame loop then draws until a key or mouse
// button is pressed or the show reaches its end, and the average rate of loop
// passes is printed on the way out.
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/show.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(DemoFullscreen == SDL_FULLSCREEN && DemoDoubleBuffer == SDL_DOUBLEBUF);
static_assert(sizeof(PaletteEntry) == sizeof(SDL_Color));

namespace {

constexpr int ScreenWidth = 640;
constexpr int ScreenHeight = 480;

// Drawing target for a surface whose rows are not 640 bytes apart: the frame
// is drawn here and copied row by row. It persists between frames like the
// surface would, so a pass that draws nothing shows the previous picture.
uint8_t PaddedFrame[ScreenWidth * ScreenHeight];

void open_audio()
{
    SDL_AudioSpec want;
    std::memset(&want, 0, sizeof want);
    want.freq = 44100;
    want.format = AUDIO_S16SYS;   // the SongBuffer is in native byte order
    want.channels = 2;
    want.samples = 4096;
    want.callback = song_audio_callback;
    want.userdata = nullptr;
    // No obtained format is asked for: SDL converts to whatever the device needs.
    if (SDL_OpenAudio(&want, nullptr) < 0)
        std::fprintf(stderr, "velomira: no audio device (%s); the show runs silently\n", SDL_GetError());
}

void drain_events()
{
    SDL_Event event;
    while (SDL_PollEvent(&event) > 0) {
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

    bool direct = screen->pitch == ScreenWidth;
    uint8_t* pixels = direct ? static_cast<uint8_t*>(screen->pixels) : PaddedFrame;
    show_frame(pixels, int32_t(playback_clock_ms() - t0));
    if (!direct) {
        auto* rows = static_cast<uint8_t*>(screen->pixels);
        for (int y = 0; y < ScreenHeight; ++y)
            std::memcpy(rows + y * screen->pitch, PaddedFrame + y * ScreenWidth, ScreenWidth);
    }
    SDL_UnlockSurface(screen);
    SDL_Flip(screen);
}

} // namespace

int main(int argc, char** argv)
{
    if (demo_answer_info_request(argc, argv, stdout))
        return 0;
    demo_set_presentation_defaults();
    uint32_t flags = demo_video_flags(argc, argv);

    // Closing the window does not end the show, but an interrupt or a kill
    // from the terminal must still end the program as usual: keep SDL from
    // turning those signals into ignored quit events.
    setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
    SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
    open_audio();

    synth_init(44100);
    if (song_parse(EmbeddedSong) < 0) {
        std::fprintf(stderr, "velomira: the built-in song does not parse: %s\n", song_error());
        SDL_Quit();
        return 1;
    }

    demo_prerender(stdout);
    std::fprintf(stdout, "\n");
    std::fflush(stdout);
    SongPosition.store(0, std::memory_order_relaxed);

    SDL_Surface* screen = SDL_SetVideoMode(ScreenWidth, ScreenHeight, 8, flags);
    if (!screen) {
        std::fprintf(stderr, "velomira: cannot open a %dx%d 8-bit screen: %s\n",
                     ScreenWidth, ScreenHeight, SDL_GetError());
        SDL_Quit();
        return 1;
    }
    demo_build_palette();
    SDL_SetColors(screen, reinterpret_cast<SDL_Color*>(DemoPalette), 0, 256);
    SDL_WM_SetCaption("Velomira", nullptr);
    SDL_ShowCursor(0);

    SDL_PauseAudio(0);
    uint32_t t0 = playback_clock_ms();

    int32_t frames = 0;
    while (!QuitRequested) {
        draw_frame(screen, t0);
        ++frames;
        drain_events();
    }

    SDL_Quit();
    uint32_t elapsed = playback_clock_ms() - t0;
    // A run that ends within its first millisecond prints an infinite rate.
    double rate = double(float(frames) / float(elapsed)) * 1000.0;
    std::printf("%f FPS\n", rate);
    return 0;
}
