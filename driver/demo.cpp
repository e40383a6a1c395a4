#include "driver/demo.h"

#include "playback/playback.h"
#include "show/script.h"
#include "synth/score_file.h"
#include "synth/synth.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <sys/mman.h>
#endif

const char* const DemoVersion = VELOMIRA_VERSION;

namespace {

const char Usage[] =
    "Usage: velomira [-w] [--song FILE [--watch]]\n"
    "       velomira --help | --version\n"
    "\n"
    "Plays the Velomira demo. It first renders its music, printing a dot per bar\n"
    "(61 in all), then shows a 640x480 picture that follows the music, full screen,\n"
    "until the show ends (about 113 s) or a key or mouse button is pressed; on the\n"
    "way out it prints the average frame rate.\n"
    "\n"
    "  -w         play in a window instead of full screen\n"
    "  --song FILE  play this score (velomira-song's format) instead of the demo's,\n"
    "             with its own show: bars at its tempo, and its show lines\n"
    "             (velomira-song print --show writes the demo's); - is the demo's\n"
    "  --watch    with --song: a live preview. Every save of FILE is played at\n"
    "             once from the same moment; a bad save keeps the last good one\n"
    "             and shows its error. Keys: space pause, left/right one bar,\n"
    "             Home the start, q or Esc quit (other keys do not end it)\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "A program name ending in \"w\" (velomiraw) swaps the two: a window by default,\n"
    "full screen with -w. Closing the window does not end the show; Ctrl+C does.\n"
    "\n"
    "Environment, set as shown unless already set:\n"
    "  SDL12COMPAT_SYNC_TO_VBLANK=1      each frame waits for the display's refresh\n"
    "                                    (0: present at once, as fast as possible)\n"
    "  SDL12COMPAT_SCALE_METHOD=nearest  full screen scaled with crisp pixels\n"
    "                                    (linear: smoothed)\n"
    "SDL's own variables apply too, e.g. SDL_VIDEODRIVER=dummy or SDL_AUDIODRIVER.\n"
    "\n"
    "Related programs: velomira-song renders, checks and prints scores;\n"
    "velomira-capture writes the show offline as video, stills and sound.\n";

} // namespace

bool demo_answer_info_request(int argc, const char* const* argv, std::FILE* out)
{
    if (argc < 2 || !argv[1])
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(Usage, out);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fprintf(out, "velomira %s\n", DemoVersion);
        return true;
    }
    return false;
}

void demo_set_presentation_defaults()
{
    // The last argument 0 keeps a value the user set, even an empty one.
    setenv("SDL12COMPAT_SYNC_TO_VBLANK", "1", 0);
    setenv("SDL12COMPAT_SCALE_METHOD", "nearest", 0);
}

uint32_t demo_video_flags(int argc, const char* const* argv)
{
    uint32_t flags = DemoFullscreen | DemoDoubleBuffer;
    if (argc > 1 && std::strcmp(argv[1], "-w") == 0)
        flags = DemoDoubleBuffer;
    const char* name = argc > 0 && argv[0] ? argv[0] : "";
    size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == 'w')
        flags ^= DemoFullscreen;
    return flags;
}

int demo_take_song_option(int& argc, char** argv, std::string& file, std::string& message)
{
    file.clear();
    bool given = false;
    for (int i = 1; i < argc;) {
        const char* value = nullptr;
        int taken = 0;
        if (std::strcmp(argv[i], "--song") == 0) {
            value = i + 1 < argc ? argv[i + 1] : nullptr;
            taken = 2;
        } else if (std::strncmp(argv[i], "--song=", 7) == 0) {
            value = argv[i] + 7;
            taken = 1;
        } else {
            ++i;
            continue;
        }
        if (!value || !*value) {
            message = "--song needs a score file (usage: velomira [-w] [--song FILE [--watch]])";
            return -1;
        }
        if (given) {
            message = "--song is given twice (" + file + ", " + value + "); give one score";
            return -1;
        }
        given = true;
        file = std::strcmp(value, "-") == 0 ? "" : value;
        for (int j = i; j + taken <= argc; ++j)
            argv[j] = argv[j + taken];   // argv[argc] is the null pointer
        argc -= taken;
    }
    return 0;
}

bool demo_take_flag(int& argc, char** argv, const char* flag)
{
    bool found = false;
    for (int i = 1; i < argc;) {
        if (std::strcmp(argv[i], flag) != 0) {
            ++i;
            continue;
        }
        found = true;
        for (int j = i; j < argc; ++j)
            argv[j] = argv[j + 1];   // argv[argc] is the null pointer
        --argc;
    }
    return found;
}

void demo_build_palette()
{
    for (int i = 0; i < 256; ++i) {
        uint8_t level = uint8_t(i);
        DemoPalette[i] = {level, level, uint8_t(std::min(255, 100 * i / 85)), 0};
    }
}

int32_t demo_prerender_block()
{
    synth_render(SongBuffer + Prerender.blocks * PrerenderBlockSamples, PrerenderBlockSamples);
    ++Prerender.blocks;
    return song_bar(SongPosition.load(std::memory_order_relaxed));
}

namespace {

// The pre-render's dots: one each time the bar reached at the end of a block
// changes, as in the block-by-block loop, written as the blocks complete.
struct PrerenderDots {
    std::FILE* dots = nullptr;
    int32_t lastBar = 0;
};

void prerender_dot(PrerenderDots& state, int32_t bar)
{
    if (bar == state.lastBar)
        return;
    if (state.dots) {
        std::fputc('.', state.dots);
        std::fflush(state.dots);
    }
    state.lastBar = bar;
}

void prerender_progress(void* context, int32_t done)
{
    PrerenderDots& state = *static_cast<PrerenderDots*>(context);
    for (; Prerender.blocks < done / PrerenderBlockSamples; ++Prerender.blocks)
        prerender_dot(state, song_bar((Prerender.blocks + 1) * PrerenderBlockSamples));
}

// The pre-render is the first write to some ten megabytes of the SongBuffer,
// each 4 KiB page of it a page fault the first time it is touched (costly
// under virtualization). Linux may back the part that holds whole 2 MiB
// stretches with huge pages instead, if asked: a few hundred faults fewer
// per huge page. Only advice: the samples are the same either way.
void prepare_song_pages(int32_t samples)
{
#if defined(__linux__) && !defined(__EMSCRIPTEN__)
    constexpr uintptr_t Huge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(SongBuffer) + Huge - 1) & ~(Huge - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(SongBuffer + samples) & ~(Huge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)samples;
#endif
}

}   // namespace

int32_t demo_prerender(std::FILE* dots)
{
    Prerender = PrerenderState{};
    PrerenderDots state{dots};
    prepare_song_pages(demo_prerender_blocks() * PrerenderBlockSamples);
    // The blocks the loop below would take, rendered on both cores; the
    // chunks of the two-thread render are blocks, so the dots come as each
    // block's bar is complete.
    static_assert(PeakWindowSamples == PrerenderBlockSamples);
    synth_render_progress(SongBuffer, demo_prerender_blocks() * PrerenderBlockSamples, prerender_progress,
                          &state);
    // The bar arithmetic agrees with the loop's condition; should it ever
    // not, the loop finishes the song.
    int32_t bar = song_bar(SongPosition.load(std::memory_order_relaxed));
    while (bar <= PrerenderLastBar) {
        bar = demo_prerender_block();
        prerender_dot(state, bar);
    }
    return Prerender.blocks;
}

void demo_prepare_show(std::FILE* dots)
{
    demo_prerender(dots);
    if (dots) {
        std::fputc('\n', dots);
        std::fflush(dots);
    }
    SongPosition.store(0, std::memory_order_relaxed);
    demo_build_palette();
}

int32_t demo_prerender_blocks()
{
    // The loop stops after the first block that ends at or past bar 61.
    const int64_t start = song_bar_start(PrerenderLastBar + 1);
    return int32_t((start + PrerenderBlockSamples - 1) / PrerenderBlockSamples);
}

int demo_size_song(std::string& reason)
{
    const int64_t samples = int64_t(demo_prerender_blocks()) * PrerenderBlockSamples;
    if (samples > SongBufferCapacity) {
        char text[200];
        const int64_t seconds = samples / SongSampleRate;
        std::snprintf(text, sizeof text,
                      "at %.1f bpm the show's bar %d begins %lld:%02lld into the music; "
                      "a song may last at most %d minutes",
                      BarClock.beatsPerSecond * 60.0, PrerenderLastBar + 1, (long long)(seconds / 60),
                      (long long)(seconds % 60), SongBufferCapacity / SongSampleRate / 60);
        reason = text;
        return -1;
    }
    SongBufferSamples = std::max(SongBufferMinSamples, int32_t(samples));
    return 0;
}

namespace {

// A show line's finding, in the music parser's terms, for the one message format.
SongDiagnostic as_diagnostic(const ShowFinding& finding)
{
    return {finding.line, finding.text, finding.message, finding.rejection};
}

}   // namespace

int demo_load_song(const std::string& path, std::string& message)
{
    const std::string file = path.empty() ? EmbeddedScorePath : path;
    std::string text;
    if (score_read(file, text, message) < 0)
        return -1;
    return demo_load_text(score_name(file), text, message);
}

int demo_load_text(const std::string& name, const std::string& text, std::string& message)
{
    synth_reset();
    if (score_parse_text(name, text, message) < 0)
        return -1;
    std::vector<ShowFinding> findings;
    if (show_script_read(text, ShowScript, &findings) < 0) {
        for (const ShowFinding& finding : findings)
            if (finding.rejection) {
                message = score_message(name, text, score_line_starts(text), as_diagnostic(finding));
                break;
            }
        return -1;
    }
    song_bar_follow(Song.RowLength);
    std::string reason;
    if (demo_size_song(reason) < 0) {
        message = name + ": error: " + reason;
        return -1;
    }
    return 0;
}
