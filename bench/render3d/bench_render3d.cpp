// Speed of the pipeline: a whole show-like frame (drawn immediately, and as a
// deferred frame, the two parts of its rows on two threads), the same frame's primitives through the
// library's rasterizers beside the literal ones of tests/render3d, and the
// raw rates of its parts (clear, large polygons, wide line strips).
#include "render3d/r3d.h"
#include "tests/render3d/reference.h"
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
// span pixels per frame with the overlaps. Argument 0: drawn batch by batch;
// 1: as a deferred frame, the two parts of its rows on two threads.
void BM_FrameLike(benchmark::State& state) {
    auto ribbon = std::make_unique<SceneRibbon>();
    scene_ribbon_build(*ribbon, 0.3f);
    float spin = 0.0f;
    for (auto _ : state) {
        if (state.range(0) == 1) {
            r3d_enable(R3D_DEFER);
        }
        scene_frame(Frame.data(), *ribbon, -0.8f, -25.0f, spin);
        r3d_disable(R3D_DEFER);
        spin += 1.5f;
        benchmark::DoNotOptimize(Frame.data());
    }
    state.counters["covered_px"] = double(depth_written());
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FrameLike)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The screen-space primitives of one frame-like frame, as its deferred
// record holds them just before it is drawn.
struct RecordedFrame {
    std::vector<R3dCommand> commands;
    std::vector<float> vertices;   // three per vertex
};

const RecordedFrame& recorded_frame() {
    static const RecordedFrame recorded = [] {
        auto ribbon = std::make_unique<SceneRibbon>();
        scene_ribbon_build(*ribbon, 0.3f);
        r3d_enable(R3D_DEFER);
        scene_frame(Frame.data(), *ribbon, -0.8f, -25.0f, 0.0f);
        RecordedFrame frame;
        frame.commands.assign(R3d.Commands, R3d.Commands + R3d.commandCount);
        frame.vertices.assign(&R3d.CommandVertices[0][0], &R3d.CommandVertices[0][0] + 3 * R3d.commandVertexCount);
        r3d_disable(R3D_DEFER);
        return frame;
    }();
    return recorded;
}

// Rasterization alone, on one thread: the recorded frame's primitives after
// a clear, through the library (argument 0) and through the literal
// rasterizers the tests compare it with (argument 1).
void BM_FrameRaster(benchmark::State& state) {
    const RecordedFrame& recorded = recorded_frame();
    auto canvas = std::make_unique<RefCanvas>();
    const bool literal = state.range(0) == 1;
    r3d_set_target(Frame.data());
    for (auto _ : state) {
        r3d_clear(3);
        if (literal) {
            ref_copy_from_context(*canvas);
        }
        for (const R3dCommand& command : recorded.commands) {
            const float* v = recorded.vertices.data() + 3 * command.first;
            const auto screen = reinterpret_cast<const float (*)[3]>(v);
            if (literal && command.line) {
                ref_draw_line(*canvas, command.lineWidth, command.colour, v[0], v[1], v[2], v[3], v[4], v[5]);
            } else if (literal) {
                ref_fill_screen(*canvas, screen, command.count, command.colour);
            } else if (command.line) {
                R3d.lineWidth = command.lineWidth;
                r3d_draw_line(command.colour, v[0], v[1], v[2], v[3], v[4], v[5]);
            } else {
                r3d_fill_polygon(screen, command.count, command.colour);
            }
        }
        benchmark::DoNotOptimize(canvas->pixels);
        benchmark::DoNotOptimize(Frame.data());
    }
    state.SetLabel(literal ? "literal" : "library");
}
BENCHMARK(BM_FrameRaster)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

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
