// Speed of the capture outputs: the whole show with its frames handed to the
// writing thread (Y4M into /dev/null and into a pipe read by cat, the H.264
// video) against rendering alone, and the per-frame pieces the worker runs
// (conversion, scaling), the conversion beside its literal formula.
#include "bench/support/show_run.h"
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/velomira-capture/frame_writer.h"
#include "tools/velomira-capture/scale.h"
#include "tools/velomira-capture/video.h"
#include "tools/velomira-capture/y4m.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

void set_frame_counters(benchmark::State& state, int64_t frames)
{
    state.counters["frame_us"] = benchmark::Counter(double(frames) * double(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The whole show rendered without output: what the Y4M runs below cost
// beyond.
void BM_WholeCaptureFramesOnly(benchmark::State& state)
{
    render_music_once();
    int64_t last = offline_last_frame(OfflineMaxFps);
    for (auto _ : state) {
        offline_start();
        for (int64_t k = 0; k <= last; ++k)
            offline_play_frame(Pixels, k, OfflineMaxFps);
    }
    set_frame_counters(state, last + 1);
}
BENCHMARK(BM_WholeCaptureFramesOnly)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The whole show rendered, every frame through the writer as Y4M into sink.
void capture_y4m(benchmark::State& state, std::FILE* sink)
{
    render_music_once();
    int64_t last = offline_last_frame(OfflineMaxFps);
    Y4mTables tables;
    y4m_build_tables(tables, DemoPalette);
    y4m_prepare_stream(sink);
    std::vector<uint8_t> planes(y4m_frame_bytes(FrameWidth, FrameHeight));
    for (auto _ : state) {
        FrameWriter writer;
        frame_writer_start(writer, FramePixels, [&](const uint8_t* pixels, int64_t, std::string&) {
            return y4m_frame(sink, tables, pixels, FrameWidth, FrameHeight, planes.data());
        });
        offline_start();
        for (int64_t k = 0; k <= last; ++k) {
            offline_play_frame(Pixels, k, OfflineMaxFps);
            frame_writer_push(writer, Pixels, k);
        }
        std::string error;
        frame_writer_finish(writer, error);
    }
    set_frame_counters(state, last + 1);
}

void BM_WholeCaptureY4mThreaded(benchmark::State& state)
{
    std::FILE* sink = std::fopen("/dev/null", "wb");
    capture_y4m(state, sink);
    std::fclose(sink);
}
BENCHMARK(BM_WholeCaptureY4mThreaded)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// As `velomira-capture --y4m - | cat >/dev/null`: cat's reading is part of
// the cost, on the same two cores.
void BM_WholeCaptureY4mPipe(benchmark::State& state)
{
    std::FILE* sink = popen("cat >/dev/null", "w");
    capture_y4m(state, sink);
    pclose(sink);
}
BENCHMARK(BM_WholeCaptureY4mPipe)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// 750 frames (10 s from 30 s on) encoded as H.264 with the default settings
// (Matroska, FLAC music) into a scratch file, on the writer thread with the
// rendering beside it; the frames before are played untimed.
void BM_VideoTenSeconds(benchmark::State& state)
{
    render_music_once();
    int64_t first = 2250, end = 3000;
    std::string path = "/tmp/velomira-bench-video.mkv";
    for (auto _ : state) {
        state.PauseTiming();
        play_up_to(first - 1);
        state.ResumeTiming();
        VideoWriter video;
        VideoSettings settings;
        settings.firstSample = offline_song_position(offline_frame_ms(first, OfflineMaxFps));
        settings.endSample = offline_song_position(offline_frame_ms(end, OfflineMaxFps));
        std::string error;
        if (!video_open(video, path, path, false, settings, DemoPalette, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        FrameWriter writer;
        frame_writer_start(writer, FramePixels, [&](const uint8_t* pixels, int64_t, std::string& why) {
            return video_frame(video, pixels, why);
        });
        for (int64_t k = first; k < end; ++k) {
            offline_play_frame(Pixels, k, OfflineMaxFps);
            frame_writer_push(writer, Pixels, k);
        }
        frame_writer_finish(writer, error);
        video_finish(video, error);
        video_close(video);
    }
    std::remove(path.c_str());
    set_frame_counters(state, end - first);
}
BENCHMARK(BM_VideoTenSeconds)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The conversion as its formula reads: each pixel's luma from the table,
// each block's chroma the rounded quarter of its four table values summed
// left to right. The same bytes as y4m_convert.
void convert_literal(const Y4mTables& tables, const uint8_t* pixels, uint8_t* out)
{
    for (int32_t i = 0; i < FramePixels; ++i)
        out[i] = tables.luma[pixels[i]];
    uint8_t* cb = out + FramePixels;
    uint8_t* cr = cb + FramePixels / 4;
    for (int32_t row = 0; row < FrameHeight; row += 2)
        for (int32_t x = 0; x < FrameWidth; x += 2) {
            const uint8_t* p = pixels + row * FrameWidth + x;
            uint8_t a = p[0], b = p[1], c = p[FrameWidth], d = p[FrameWidth + 1];
            auto average = [&](const float* table) {
                return uint8_t(std::clamp(std::lround((table[a] + table[b] + table[c] + table[d]) * 0.25), 0l, 255l));
            };
            cb[row / 2 * (FrameWidth / 2) + x / 2] = average(tables.cb);
            cr[row / 2 * (FrameWidth / 2) + x / 2] = average(tables.cr);
        }
}

// One frame converted, at the given second of the show.
template <bool Literal>
void BM_ConvertFrame(benchmark::State& state)
{
    render_music_once();
    play_up_to(state.range(0) * OfflineMaxFps);
    Y4mTables tables;
    y4m_build_tables(tables, DemoPalette);
    static uint8_t planes[FramePixels * 3 / 2];
    for (auto _ : state) {
        if (Literal)
            convert_literal(tables, Pixels, planes);
        else
            y4m_convert(tables, Pixels, planes);
        benchmark::DoNotOptimize(planes);
    }
}
BENCHMARK(BM_ConvertFrame<false>)->Name("BM_ConvertFrame")->Arg(20)->Arg(40)->Arg(70)->Arg(110)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConvertFrame<true>)->Name("BM_ConvertFrameLiteral")->Arg(20)->Arg(40)->Arg(70)->Arg(110)
    ->Unit(benchmark::kMicrosecond);

void BM_ScaleFrame(benchmark::State& state)
{
    render_music_once();
    play_up_to(3000);
    int32_t factor = int32_t(state.range(0));
    std::vector<uint8_t> out(size_t(FramePixels) * size_t(factor * factor));
    for (auto _ : state) {
        scale_nearest(Pixels, FrameWidth, FrameHeight, factor, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ScaleFrame)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
