// velomira in a web browser: the same song and the same show, driven by the
// browser's event loop instead of a while loop.
//
// The page (web/index.html) shows a title screen; its click resumes the
// page's audio context (a browser keeps audio suspended until a user gesture)
// and calls web_start(), which opens the audio device and starts the
// browser's main loop. Each pass of that loop then does one step of a small phase machine:
//   Rendering  the first seconds of the song; then playback starts;
//   Playing    the pre-render carried on for a few milliseconds, then one
//              pass of the frame loop, as frame_loop_step() does it, but
//              at the song position the listener hears (see play_frame);
//              while the page holds the show (web_pause) only the input;
//   Ended      the rate of loop passes goes to the console in the native
//              format and the page offers to play again (web_play_again()).
// With ?frame=N in the address the page plays frames 0..N at the capture
// tool's fixed times instead, without sound, after the whole pre-render (its
// slices move a progress bar), leaves frame N on the canvas and sets a flag
// the tests wait for. A score in the address's fragment (a shared
// link, see index.html) is handed over with web_load_score before the start.
//
// Owns Web, the phase machine's state. Runs on the browser's main thread,
// like the audio callback, which the browser calls from its timers.
#include "driver/demo.h"
#include "driver/frame_loop.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "show/show.h"
#include "show/timeline.h"
#include "render3d/r3d.h"

#include <SDL.h>
#include <emscripten.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Slices of work are kept short so that the page stays responsive and the
// progress bar moves, and long enough that the browser's own work between
// them costs little.
constexpr double SliceMs = 100.0;

// How far the pre-render keeps ahead of the samples handed to the audio
// device while the show plays: two seconds, some twenty audio buffers. The
// page renders the song hundreds of times faster than it plays, so the
// show starts after the first two seconds and the rest is rendered between
// frames, a few milliseconds at a time, long before it is heard.
constexpr int32_t RenderLeadSamples = 2 * SongSampleRate;
constexpr double RenderPassMs = 4.0;

enum class WebPhase { Title, Rendering, Playing, Ended };

struct WebState {
    WebPhase phase = WebPhase::Title;
    SDL_Surface* screen = nullptr;
    int64_t stopFrame = -1;     // ?frame=N: the last frame to play; -1: normal show
    int64_t nextFrame = 0;      // next frame to play in ?frame=N mode
    double clickMs = 0;         // when the start click came
    double renderMs = 0;        // pre-render time
    bool rendered = false;      // the whole pre-render is done
    bool firstFrameShown = false;
    bool paused = false;        // the page holds the show (its sound is held too)
    uint32_t pausedAt = 0;      // playback clock reading when it was held
    int32_t showMs = 0;         // show time of the last pass: it never runs backwards
    int32_t showPosition = 0;   // song position the last pass drew, likewise
};
WebState Web;

// The picture, persistent between frames like the screen (a pass that draws
// nothing shows the previous one), copied to the screen after each pass.
uint8_t Frame[FramePixels];

void present()
{
    SDL_LockSurface(Web.screen);
    for (int y = 0; y < FrameHeight; ++y)
        std::memcpy(static_cast<uint8_t*>(Web.screen->pixels) + y * Web.screen->pitch, Frame + y * FrameWidth,
                    FrameWidth);
    SDL_UnlockSurface(Web.screen);
    SDL_Flip(Web.screen);
}

// Events that came while no show was playing (the start click, the key that
// ended the last show) must not end the next one.
void discard_events()
{
    SDL_Event event;
    while (SDL_PollEvent(&event) > 0) {
    }
}

void set_pace();

// Every show starts with its clock at zero, nothing held and no input left over.
void begin_show()
{
    discard_events();
    Web.paused = false;
    Web.showMs = 0;
    Web.showPosition = 0;
    Web.firstFrameShown = false;
    EM_ASM({ velomiraPage.showBegins(); });
    frame_loop_begin_show(Web.screen);
    Web.phase = WebPhase::Playing;
}

// The pre-render carried on, block by block as the native one, until the
// SongBuffer holds `needed` samples and `ms` milliseconds have passed (or
// the song is done). The synth renders at SongPosition, which otherwise
// counts the samples handed to the audio device: it is lent to the synth
// for the call. Safe because the browser runs the audio callback on this
// thread, between calls, never during one.
void render_ahead(int32_t needed, double ms)
{
    if (Web.rendered)
        return;
    const double start = emscripten_get_now();
    const int32_t handedOver = SongPosition.load(std::memory_order_relaxed);
    SongPosition.store(Prerender.blocks * PrerenderBlockSamples, std::memory_order_relaxed);
    int32_t bar = song_bar(Prerender.blocks * PrerenderBlockSamples);
    while (bar <= PrerenderLastBar &&
           (Prerender.blocks * PrerenderBlockSamples < needed || emscripten_get_now() - start < ms))
        bar = demo_prerender_block();
    SongPosition.store(handedOver, std::memory_order_relaxed);
    if (bar <= PrerenderLastBar)
        return;
    Web.rendered = true;
    Web.renderMs = emscripten_get_now() - Web.clickMs;
    // In ?frame=N mode the page also hashes the rendered samples, which the
    // tests compare with the native renderer's output.
    EM_ASM({ velomiraPage.songRendered($0, $1, $2); }, SongBuffer, Prerender.blocks * PrerenderBlockSamples,
           Web.renderMs);
}

// The audio device's callback: the samples it takes are rendered first, and
// the lead beyond them (the page may run its timers, and so this, while the
// show's animation frames do not come, as in a tab in the background).
void web_audio_callback(void* userdata, uint8_t* stream, int len)
{
    render_ahead(SongPosition.load(std::memory_order_relaxed) + len / 4 + RenderLeadSamples, 0.0);
    song_audio_callback(userdata, stream, len);
}

void render_slice()
{
    if (Web.stopFrame < 0) {
        render_ahead(RenderLeadSamples, 0.0);
        EM_ASM({ velomiraPage.playing(); });
        begin_show();
        set_pace();
        return;
    }
    render_ahead(0, SliceMs);
    EM_ASM({ velomiraPage.progress($0 / 61); }, song_bar(Prerender.blocks * PrerenderBlockSamples));
    if (!Web.rendered)
        return;
    offline_start();
    Web.phase = WebPhase::Playing;
}

void show_fixed_frames()
{
    double start = emscripten_get_now();
    while (Web.nextFrame <= Web.stopFrame && emscripten_get_now() - start < SliceMs)
        offline_play_frame(Frame, Web.nextFrame++, OfflineMaxFps);
    if (Web.nextFrame <= Web.stopFrame)
        return;
    present();
    emscripten_cancel_main_loop();
    Web.phase = WebPhase::Ended;
    EM_ASM({ velomiraPage.frameShown($0); }, int32_t(Web.stopFrame));
}

// The show follows the song position the listener hears, which the page
// works out from the audio context's clock and when each buffer handed to it
// starts (velomiraPage.heardPosition). SongPosition runs ahead of it by the
// audio queue, about 140 ms in a browser, which the picture would show as a
// lead over the sound. The show time comes from the heard position, as
// velomira-capture forms both from one time (show/offline.h), and the bar
// too: show_frame reads SongPosition, so it holds the heard position for the
// call and the callback's counter comes back afterwards. That is safe only
// because the browser calls the audio callback on this same thread, between
// passes, never during one. Without sound (no audio device, or a context the
// browser will not start) the page answers -1; nothing advances SongPosition
// then, and the show runs on the playback clock, its bar at the sample that
// time would play.
void play_frame()
{
    const int32_t handedOver = SongPosition.load(std::memory_order_relaxed);
    const int32_t heard = EM_ASM_INT({ return velomiraPage.heardPosition(); });
    const int32_t ms = heard >= 0 ? int32_t(int64_t(heard) * 1000 / SongSampleRate) : int32_t(frame_loop_elapsed());
    Web.showMs = std::max(Web.showMs, ms);
    Web.showPosition = std::max(Web.showPosition, heard >= 0 ? heard : offline_song_position(ms));

    show_levels(SongBuffer + level_window_start(uint32_t(Web.showMs)));
    SongPosition.store(Web.showPosition, std::memory_order_relaxed);
    show_frame(Frame, Web.showMs);
    SongPosition.store(handedOver, std::memory_order_relaxed);
    present();
    ++FrameLoop.frames;
    frame_loop_drain_events();
    EM_ASM({ velomiraPage.frameDrawn($0); }, Web.showPosition);
}

// Holds the playback clock (so the show time and the rate of passes leave
// out the pause) or lets it run on from where it was held.
void hold_show(bool hold)
{
    if (hold == Web.paused)
        return;
    if (hold)
        Web.pausedAt = playback_clock_ms();
    else
        FrameLoop.t0 += playback_clock_ms() - Web.pausedAt;
    Web.paused = hold;
}

void end_show()
{
    hold_show(false);
    // At the show's own end the last frame is a uniform near-black, which
    // would stand as a faint box on the black page behind the end screen.
    if (ShowBar > ShowScript.endBar - 1) {
        std::memset(Frame, 0, sizeof Frame);
        present();
    }
    SDL_PauseAudio(1);
    emscripten_cancel_main_loop();
    Web.phase = WebPhase::Ended;
    std::printf("%f FPS\n", frame_loop_rate());
    std::fflush(stdout);
    EM_ASM({ velomiraPage.showEnded(); });
}

void web_step()
{
    switch (Web.phase) {
    case WebPhase::Title:
    case WebPhase::Ended:
        break;
    case WebPhase::Rendering:
        render_slice();
        break;
    case WebPhase::Playing:
        if (Web.stopFrame >= 0) {
            show_fixed_frames();
            break;
        }
        render_ahead(SongPosition.load(std::memory_order_relaxed) + RenderLeadSamples, RenderPassMs);
        if (Web.paused) {
            frame_loop_drain_events();
        } else {
            play_frame();
            if (!Web.firstFrameShown) {
                Web.firstFrameShown = true;
                EM_ASM({ velomiraPage.firstFrame($0); }, emscripten_get_now() - Web.clickMs);
            }
        }
        if (QuitRequested)
            end_show();
        break;
    }
}

// The show runs once per animation frame. The pre-render runs on timers,
// which follow each other without waiting for the display. Headless browsers
// under virtual time do not advance animation frames at all, so the
// fixed-frame mode runs on timers throughout.
void set_pace()
{
    if (Web.phase == WebPhase::Playing && Web.stopFrame < 0)
        emscripten_set_main_loop_timing(EM_TIMING_RAF, 1);
    else
        emscripten_set_main_loop_timing(EM_TIMING_SETTIMEOUT, Web.stopFrame >= 0 ? 1 : 0);
}

void start_main_loop()
{
    emscripten_set_main_loop(web_step, 0, 0);
    set_pace();
}

} // namespace

extern "C" {

// The start click (the page has resumed its audio context in the gesture).
EMSCRIPTEN_KEEPALIVE void web_start()
{
    if (Web.phase != WebPhase::Title)
        return;
    // The last frame follows the score's show, known once the page's score is in.
    Web.stopFrame = std::min<int64_t>(EM_ASM_INT({ return velomiraPage.stopFrame; }), offline_last_frame(OfflineMaxFps));
    Web.clickMs = emscripten_get_now();
    if (Web.stopFrame < 0) {
        frame_loop_open_audio(web_audio_callback);
        EM_ASM({ velomiraPage.audioOpened(); });
    }
    Web.phase = WebPhase::Rendering;
    start_main_loop();
}

// Plays the show again from the start; the song is already rendered.
EMSCRIPTEN_KEEPALIVE void web_play_again()
{
    if (Web.phase != WebPhase::Ended || Web.stopFrame >= 0)
        return;
    // As at program start: the show's state, the drawing context and the
    // quit flag; playback from the first sample.
    offline_start();
    SongPosition.store(0, std::memory_order_relaxed);
    Web.clickMs = emscripten_get_now();
    begin_show();
    start_main_loop();
}

// The page's pause control: 1 holds the show, 0 lets it go on. The page
// suspends its audio context before holding and lets go once the context
// runs again, so the picture and the sound stop and go on together. The
// audio device itself is left unpaused: SDL drops what it asks of the
// callback while paused, and the samples would be lost.
EMSCRIPTEN_KEEPALIVE void web_pause(int hold)
{
    if (Web.phase == WebPhase::Playing && Web.stopFrame < 0)
        hold_show(hold != 0);
}

// The page's end control: ends the show as a key does.
EMSCRIPTEN_KEEPALIVE void web_end_show()
{
    if (Web.phase == WebPhase::Playing && Web.stopFrame < 0)
        QuitRequested = 1;
}

// In ?frame=N mode: plays on to another frame, from the start if it is an
// earlier one, and leaves it on the canvas.
EMSCRIPTEN_KEEPALIVE void web_show_frame(int32_t frame)
{
    if (Web.stopFrame < 0 || Web.phase != WebPhase::Ended)
        return;
    if (frame < Web.nextFrame) {
        offline_start();
        Web.nextFrame = 0;
    }
    Web.stopFrame = std::min<int64_t>(frame, offline_last_frame(OfflineMaxFps));
    Web.phase = WebPhase::Playing;
    start_main_loop();
}

// A score handed over by the page (a shared link's): it replaces the
// embedded one before the show starts. On a rejected score the embedded one
// stays, and the page is told why.
EMSCRIPTEN_KEEPALIVE int web_load_score(const char* text)
{
    if (Web.phase != WebPhase::Title)
        return -1;
    std::string message;
    if (demo_load_text("the shared score", text, message) == 0)
        return 0;
    std::string ignored;
    demo_load_song("", ignored);
    EM_ASM({ velomiraPage.scoreRefused(UTF8ToString($0)); }, message.c_str());
    return -1;
}

// Samples handed to the audio device so far.
EMSCRIPTEN_KEEPALIVE int32_t web_song_position()
{
    return SongPosition.load(std::memory_order_relaxed);
}

} // extern "C"

int main()
{

    SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
    std::string message;
    if (demo_load_song("", message) < 0) {
        std::fprintf(stderr, "velomira: %s\n", message.c_str());
        return 1;
    }

    // An 8-bit screen in the browser: SDL_HWPALETTE asks for a palettized
    // surface, and locking must hand out the surface's own bytes rather than
    // a copy of the canvas. The palette is applied when the surface is
    // unlocked, so it is set before the first unlock.
    EM_ASM({
        SDL.defaults.copyOnLock = false;
        SDL.defaults.discardOnLock = true;
        SDL.defaults.opaqueFrontBuffer = false;
    });
    demo_build_palette();
    Web.screen = frame_loop_open_screen(SDL_HWPALETTE);
    if (!Web.screen)
        return 1;

    // The page may hand over a score first; then it starts the show, in the
    // fixed-frame mode at once (it has no sound), else on the click.
    EM_ASM({ velomiraPage.ready(); });
    return 0;
}
