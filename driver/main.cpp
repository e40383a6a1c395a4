// velomira: pre-renders the song, then plays it while the show follows it.
//
// Start-up runs in one straight line (audio device opened paused, song
// rendered with a row of progress dots, screen and palette, playback
// started); the frame loop then draws until a key or mouse button is pressed
// or the show reaches its end, and the average rate of loop passes is printed
// on the way out. SDL is met here and in frame_loop.cpp only.
#include "driver/demo.h"
#include "driver/frame_loop.h"
#include "driver/preview.h"
#include "playback/playback.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

static_assert(DemoFullscreen == SDL_FULLSCREEN && DemoDoubleBuffer == SDL_DOUBLEBUF);
static_assert(sizeof(PaletteEntry) == sizeof(SDL_Color));

namespace {

// Reads and parses the score ("" for the embedded one); false after one
// message on stderr.
bool load_song(const std::string& path)
{
    std::string message;
    if (demo_load_song(path, message) < 0) {
        std::fprintf(stderr, "velomira: %s\n", message.c_str());
        return false;
    }
    return true;
}

// The frame loop until the show ends (or, previewing, until q or Escape).
void run_show(SDL_Surface* screen, bool watch)
{
    frame_loop_begin_show(screen);
    while (!QuitRequested) {
        if (!watch) {
            frame_loop_step();
            continue;
        }
        if (preview_wants_frame()) {
            frame_loop_step();
        } else {
            frame_loop_drain_events();
            SDL_Delay(10);
        }
        preview_step();
    }
}

int play(int argc, char** argv)
{
    // --song FILE plays another score with its own show; --watch makes that
    // a live preview of the file.
    std::string songFile, message;
    if (demo_take_song_option(argc, argv, songFile, message) < 0) {
        std::fprintf(stderr, "velomira: %s\n", message.c_str());
        return 1;
    }
    const bool watch = demo_take_flag(argc, argv, "--watch");
    if (watch && songFile.empty()) {
        std::fprintf(stderr, "velomira: --watch needs --song FILE, the score to watch\n");
        return 1;
    }
    if (demo_answer_info_request(argc, argv, stdout))
        return 0;
    // A score of the user's is read and checked before any device is opened,
    // so a missing or bad one is one message and nothing else.
    if (!songFile.empty() && !load_song(songFile))
        return 1;
    demo_set_presentation_defaults();
    uint32_t flags = demo_video_flags(argc, argv);

    // Closing the window does not end the show, but an interrupt or a kill
    // from the terminal must still end the program as usual: keep SDL from
    // turning those signals into ignored quit events.
    setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
    SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
    frame_loop_open_audio();
    if (songFile.empty() && !load_song("")) {
        SDL_Quit();
        return 1;
    }
    demo_prepare_show(stdout);

    SDL_Surface* screen = frame_loop_open_screen(flags);
    if (!screen || (watch && !preview_start(songFile, message))) {
        if (screen)
            std::fprintf(stderr, "velomira: %s\n", message.c_str());
        SDL_Quit();
        return 1;
    }
    SDL_ShowCursor(0);
    run_show(screen, watch);
    SDL_Quit();
    std::printf("%f FPS\n", frame_loop_rate());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return play(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "velomira: out of memory\n");
        return 1;
    }
}
