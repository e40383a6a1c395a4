// Speed of the show: one drawn frame at several points of the show (with the
// state the show really has there), a whole fixed-rate capture without
// output, and the capture tool's per-frame encoders.
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
#include "tools/velomira-capture/y4m.h"

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

void BM_WholeCaptureNoOutput(benchmark::State& state)
{
    render_music_once();
    int64_t last = offline_last_frame(OfflineMaxFps);
    for (auto _ : state) {
        offline_start();
        for (int64_t k = 0; k <= last; ++k)
            offline_play_frame(Pixels, k, OfflineMaxFps);
    }
    state.counters["frames"] = double(last + 1);
    state.counters["frame_us"] = benchmark::Counter(double(last + 1) * double(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WholeCaptureNoOutput)->Iterations(1)->Unit(benchmark::kSecond);

void BM_Y4mConvert(benchmark::State& state)
{
    render_music_once();
    play_up_to(3000);
    static Y4mTables tables;
    y4m_build_tables(tables, DemoPalette);
    static uint8_t planes[FramePixels * 3 / 2];
    for (auto _ : state) {
        y4m_convert(tables, Pixels, planes);
        benchmark::DoNotOptimize(planes);
    }
}
BENCHMARK(BM_Y4mConvert)->Unit(benchmark::kMicrosecond);

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
