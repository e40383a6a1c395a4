// Speed of the pipeline: a whole show-like frame, and the raw rates of its
// parts (clear, large polygons, wide line strips).
#include "render3d/r3d.h"
#include "tests/render3d/scenes.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

std::vector<uint8_t> Frame(size_t(FrameWidth) * FrameHeight);

int depth_written() {
    int count = 0;
    for (int16_t d : R3d.DepthBuffer) {
        count += d != INT16_MIN;
    }
    return count;
}

// Clear, two 128-vertex width-2 strips, twelve lit ribbons of 63 quads
// (756 polygons with two outline edges each), spinning a little per frame.
// At this distance the quads on screen fill about 250 pixels each, 170000
// span pixels per frame with the overlaps.
void BM_FrameLike(benchmark::State& state) {
    auto ribbon = std::make_unique<SceneRibbon>();
    scene_ribbon_build(*ribbon, 0.3f);
    float spin = 0.0f;
    for (auto _ : state) {
        scene_frame(Frame.data(), *ribbon, -0.8f, -25.0f, spin);
        spin += 1.5f;
        benchmark::DoNotOptimize(Frame.data());
    }
    state.counters["covered_px"] = double(depth_written());
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FrameLike)->Unit(benchmark::kMicrosecond);

void BM_Clear(benchmark::State& state) {
    r3d_set_target(Frame.data());
    for (auto _ : state) {
        r3d_clear(3);
        benchmark::DoNotOptimize(Frame.data());
    }
}
BENCHMARK(BM_Clear)->Unit(benchmark::kMicrosecond);

// A polygon covering the screen, depth sloping across it. Argument 0: every
// pixel passes the depth test; 1: every pixel fails it (hidden).
void BM_LargePolygonFill(benchmark::State& state) {
    r3d_set_target(Frame.data());
    r3d_clear(3);
    const float z = state.range(0) == 0 ? -1.0f : -3.0f;
    const float corners[4][3] = {{-10.0f, -10.0f, z}, {650.0f, -10.0f, z - 0.5f},
                                 {650.0f, 490.0f, z - 0.5f}, {-10.0f, 490.0f, z}};
    if (state.range(0) == 1) {
        const float nearer[4][3] = {{-10.0f, -10.0f, -1.0f}, {650.0f, -10.0f, -1.0f},
                                    {650.0f, 490.0f, -1.0f}, {-10.0f, 490.0f, -1.0f}};
        r3d_fill_polygon(nearer, 4, 200);
    }
    for (auto _ : state) {
        r3d_fill_polygon(corners, 4, uint8_t(state.iterations()));
        benchmark::DoNotOptimize(Frame.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * FrameWidth * FrameHeight);
}
BENCHMARK(BM_LargePolygonFill)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_WideLineStrip(benchmark::State& state) {
    r3d_set_target(Frame.data());
    r3d_clear(3);
    r3d_load_identity();
    r3d_disable(R3D_LIGHTING);
    r3d_line_width(double(state.range(0)));
    int frame = 0;
    for (auto _ : state) {
        r3d_clear(3);
        r3d_begin(R3D_LINE_STRIP);
        for (int i = 0; i < 128; i++) {
            const float x = float(i) * (2.0f / 128.0f) - 1.0f;
            r3d_color(0.5f, 0.5f, 0.5f);
            r3d_vertex(x, 0.2f * float((i * 37 + frame) % 11) / 11.0f, -0.9f);
        }
        r3d_end();
        frame++;
        benchmark::DoNotOptimize(Frame.data());
    }
}
BENCHMARK(BM_WideLineStrip)->Arg(2)->Arg(16)->Unit(benchmark::kMicrosecond);

}  // namespace
