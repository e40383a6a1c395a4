// Speed of the music: the demo's whole pre-render, and instrument rendering.
#include "playback/playback.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <benchmark/benchmark.h>

// tests/synth/reference_sequencer.cpp
void synth_render_literal(int16_t* out, int32_t count);

#include <string>
#include <vector>

namespace {

constexpr int32_t Blocks = 5051;   // what the demo pre-renders
constexpr int32_t BlockSamples = 1024;

void prepare(const std::string& text)
{
    synth_reset();
    std::string copy = text;
    song_parse(copy.data());
}

// synth_init + song_parse + 5051 blocks of 1024 samples into the SongBuffer.
void BM_WholePrerender(benchmark::State& state)
{
    const std::string text = EmbeddedSong;
    for (auto _ : state) {
        prepare(text);
        for (int32_t b = 0; b < Blocks; ++b)
            synth_render(SongBuffer + b * BlockSamples, BlockSamples);
        benchmark::DoNotOptimize(SongBuffer[12345]);
    }
    state.SetItemsProcessed(state.iterations() * Blocks * BlockSamples);
}
BENCHMARK(BM_WholePrerender)->Unit(benchmark::kMillisecond);

// The sequencer alone, over the same 5051 blocks.
void BM_SequencerOnly(benchmark::State& state)
{
    const std::string text = EmbeddedSong;
    for (auto _ : state) {
        state.PauseTiming();
        prepare(text);
        state.ResumeTiming();
        for (int32_t b = 0; b < Blocks; ++b)
            synth_render(SongBuffer + b * BlockSamples, BlockSamples);
        benchmark::DoNotOptimize(SongBuffer[12345]);
    }
}
BENCHMARK(BM_SequencerOnly)->Unit(benchmark::kMillisecond);

// The whole song (what the demo pre-renders) in one call, single-threaded
// (two:0) and on two threads (two:1); wall-clock time, as the two-thread
// render is meant to shorten it. parse:1 times the parse with its instrument
// synthesis too, parse:0 only the render.
void BM_WholeSong(benchmark::State& state)
{
    const std::string text = EmbeddedSong;
    const bool twoThreads = state.range(0) != 0;
    const bool parseTimed = state.range(1) != 0;
    for (auto _ : state) {
        if (!parseTimed)
            state.PauseTiming();
        prepare(text);
        if (!parseTimed)
            state.ResumeTiming();
        if (twoThreads)
            synth_render_parallel(SongBuffer, Blocks * BlockSamples);
        else
            synth_render(SongBuffer, Blocks * BlockSamples);
        benchmark::DoNotOptimize(SongBuffer[12345]);
    }
    state.SetLabel(twoThreads ? "two threads" : "one thread");
}
BENCHMARK(BM_WholeSong)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"two", "parse"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The demo's pre-render as it now runs: two threads, progress after every
// block (here counted; the demo prints its dots from it).
void BM_WholeSongWithProgress(benchmark::State& state)
{
    const std::string text = EmbeddedSong;
    int32_t reports = 0;
    for (auto _ : state) {
        state.PauseTiming();
        prepare(text);
        state.ResumeTiming();
        synth_render_progress(SongBuffer, Blocks * BlockSamples,
                              [](void* count, int32_t) { ++*static_cast<int32_t*>(count); }, &reports);
        benchmark::DoNotOptimize(SongBuffer[12345]);
    }
    benchmark::DoNotOptimize(reports);
}
BENCHMARK(BM_WholeSongWithProgress)->Unit(benchmark::kMillisecond)->UseRealTime();

// The literal reference sequencer of the tests (one sample at a time, every
// rule as stated) on the same song: the yardstick for the figures above.
void BM_WholeSongLiteral(benchmark::State& state)
{
    const std::string text = EmbeddedSong;
    for (auto _ : state) {
        state.PauseTiming();
        prepare(text);
        state.ResumeTiming();
        synth_render_literal(SongBuffer, Blocks * BlockSamples);
        benchmark::DoNotOptimize(SongBuffer[12345]);
    }
    state.SetLabel("literal reference");
}
BENCHMARK(BM_WholeSongLiteral)->Unit(benchmark::kMillisecond)->UseRealTime();

// instrument_render of each embedded instrument (argument: its number).
void BM_InstrumentRender(benchmark::State& state)
{
    prepare(EmbeddedSong);
    const int32_t n = int32_t(state.range(0));
    const Instrument& ins = Song.instruments[n];
    for (auto _ : state) {
        instrument_render(ins.attack, ins.decay, ins.sustain, ins.release, ins.modRate, ins.sweep, n,
                          ins.waveform);
        benchmark::DoNotOptimize(Song.instruments[n].samples.data());
    }
    state.SetItemsProcessed(state.iterations() * ins.sampleLength);
}
BENCHMARK(BM_InstrumentRender)->DenseRange(1, 9)->Unit(benchmark::kMicrosecond);

}   // namespace

BENCHMARK_MAIN();
