// Speed of the show: one drawn frame at several points of the show (with the
// state the show really has there), and the capture tool's PNG encoder. The
// whole show without output and the Y4M conversion are in bench/capture,
// beside what the outputs cost on top of them.
#include "bench/support/show_run.h"
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "show/show.h"
#include "show/timeline.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/common/png_file.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

// One drawn frame at second s of the show, drawn again and again from the
// state the show had just before it (so the glide cannot wander off, e.g.
// carry the ribbons behind the camera, over thousands of iterations).
void BM_ShowFrameAt(benchmark::State& state)
{
    render_music_once();
    int64_t frame = offline_frame_at(int32_t(state.range(0) * 1000), OfflineMaxFps);
    play_up_to(frame - 1);
    ShowState before = Show;
    int32_t ms = offline_frame_ms(frame, OfflineMaxFps);
    SongPosition.store(offline_song_position(ms), std::memory_order_relaxed);
    for (auto _ : state) {
        Show = before;
        show_frame(Pixels, ms);
        benchmark::DoNotOptimize(Pixels);
    }
    state.SetLabel("bar " + std::to_string(ShowBar));
}
BENCHMARK(BM_ShowFrameAt)->Arg(5)->Arg(20)->Arg(40)->Arg(70)->Arg(95)->Arg(110)->Unit(benchmark::kMicrosecond);

void BM_PngEncode(benchmark::State& state)
{
    render_music_once();
    play_up_to(3000);
    std::FILE* sink = std::fopen("/dev/null", "wb");
    std::string error;
    for (auto _ : state)
        png_write_paletted(sink, Pixels, FrameWidth, FrameHeight, DemoPalette, error);
    std::fclose(sink);
}
BENCHMARK(BM_PngEncode)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
