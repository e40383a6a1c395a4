// velomira: pre-renders the song, then plays it while the show follows it.
//
// The only file that talks to SDL. Start-up runs in one straight line (audio
// device opened paused, song rendered with a row of progress dots, screen and
// palette, playback started); the frame loop then draws until a key or mouse
// button is pressed or the show reaches its end, and the average rate of loop
// passes is printed on the way out.
#include "driver/demo.h"
#include "driver/frame_loop.h"
#include "playback/playback.h"
#include "show/show.h"
#include "synth/embedded_song.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static_assert(DemoFullscreen == SDL_FULLSCREEN && DemoDoubleBuffer == SDL_DOUBLEBUF);
static_assert(sizeof(PaletteEntry) == sizeof(SDL_Color));

namespace {

constexpr int ScreenWidth = 640;
constexpr int ScreenHeight = 480;

} // namespace

int main(int argc, char** argv)
{
    // --song FILE plays another score; the show still follows bars at the
    // embedded score's fixed tempo of 125 bpm.
    const char* songFile = demo_take_song_option(argc, argv);
    if (!songFile) {
        std::fprintf(stderr, "velomira: --song needs a score file (usage: velomira [-w] [--song FILE])\n");
        return 1;
    }
    if (demo_answer_info_request(argc, argv, stdout))
        return 0;
    demo_set_presentation_defaults();
    uint32_t flags = demo_video_flags(argc, argv);

    // Closing the window does not end the show, but an interrupt or a kill
    // from the terminal must still end the program as usual: keep SDL from
    // turning those signals into ignored quit events.
    setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
    SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
    frame_loop_open_audio();

    synth_init(44100);
    std::string songError;
    if (*songFile && score_load(songFile, songError) < 0) {
        std::fprintf(stderr, "velomira: %s\n", songError.c_str());
        SDL_Quit();
        return 1;
    }
    if (!*songFile && song_parse(EmbeddedSong) < 0) {
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
    frame_loop_start(screen);

    while (!QuitRequested)
        frame_loop_step();

    SDL_Quit();
    std::printf("%f FPS\n", frame_loop_rate());
    return 0;
}
