// The two-thread render. The song is cut into chunks, and the tracks are
// dealt to two threads: the helper thread renders the even tracks, the
// calling thread the odd ones, each track into its own lane, chunk after
// chunk; the calling thread then sums each chunk whose lanes are complete.
// Lanes live in a ring of chunk slots, so the helper may run up to a ring
// ahead: a busy machine that holds one thread back for a while costs no
// lock-step waiting at every chunk.
//
// A lane holds the track's value v itself (mixer_store_track says why that
// equals the mixer's 0.0 + v); the sum adds the lanes to 0.0 in track order,
// the same operations in the same order as synth_render, so every sample is
// bit-identical.
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/mixer.h"
#include "synth/song.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int32_t ChunkSamples = 8 * PeakWindowSamples;
constexpr int32_t RingChunks = 4;

struct ParallelRender {
    int16_t* out = nullptr;
    int32_t count = 0;
    int32_t start = 0;                 // song position of out[0]
    int32_t played = 0;
    uint32_t heard = AllTracks;
    float* peaks = nullptr;
    int32_t chunks = 0;
    std::vector<float> lanes;          // RingChunks slots of played lanes
    std::atomic<int32_t> helperDone{0};   // chunks whose even tracks are rendered
    std::atomic<int32_t> summed{0};       // chunks summed; their slots are free
};

int32_t chunk_length(const ParallelRender& job, int32_t chunk)
{
    return std::min(ChunkSamples, job.count - chunk * ChunkSamples);
}

float* lane(ParallelRender& job, int32_t chunk, int32_t t)
{
    const size_t slot = size_t(chunk % RingChunks);
    return job.lanes.data() + (slot * size_t(job.played) + size_t(t - 1)) * ChunkSamples;
}

// Tracks first, first + 2, ... over one chunk, with their row steps.
void render_tracks(ParallelRender& job, int32_t chunk, int32_t first)
{
    const int32_t n = chunk_length(job, chunk);
    const int32_t position = job.start + chunk * ChunkSamples;
    const int32_t rowLength = Song.RowLength;
    for (int32_t t = first; t <= job.played; t += 2) {
        float* v = lane(job, chunk, t);
        for (int32_t i = 0; i < n;) {
            const int32_t intoRow = (position + i) % rowLength;
            if (intoRow == 0)
                mixer_row_step(t);
            const int32_t run = std::min(n - i, rowLength - intoRow);
            mixer_store_track(t, position + i, v + i, run);
            i += run;
        }
    }
}

// Largest magnitude of n values. The vector path takes the same maximum
// (max is exact, so the order of comparisons does not matter; a NaN, which
// a lane never holds, could differ).
float peak_of(const float* v, int32_t n)
{
    int32_t k = 0;
    float peak = 0.0f;
#if defined(__SSE2__)
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 most = _mm_setzero_ps();
    for (; k + 4 <= n; k += 4)
        most = _mm_max_ps(most, _mm_and_ps(_mm_loadu_ps(v + k), magnitude));
    float lanes[4];
    _mm_storeu_ps(lanes, most);
    peak = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
#endif
    for (; k < n; ++k)
        peak = std::max(peak, std::fabs(v[k]));
    return peak;
}

// The heard lanes added in track order, clamped and scaled; and the peaks.
void sum_chunk(ParallelRender& job, int32_t chunk)
{
    const int32_t n = chunk_length(job, chunk);
    float mix[PeakWindowSamples];
    for (int32_t from = 0; from < n; from += PeakWindowSamples) {
        const int32_t m = std::min(PeakWindowSamples, n - from);
        std::fill(mix, mix + m, 0.0f);
        const size_t window = size_t(chunk * ChunkSamples + from) / PeakWindowSamples;
        for (int32_t t = 1; t <= job.played; ++t) {
            const float* v = lane(job, chunk, t) + from;
            if (job.heard >> t & 1u)
                for (int32_t k = 0; k < m; ++k)
                    mix[k] += v[k];
            if (job.peaks)
                job.peaks[window * MaxVoices + size_t(t)] = peak_of(v, m);
        }
        mixer_write_output(mix, job.out + chunk * ChunkSamples + from, m);
    }
}

void helper_thread(ParallelRender& job)
{
    for (int32_t c = 0; c < job.chunks; ++c) {
        // Wait for a free slot: chunk c - RingChunks must have been summed.
        for (int32_t s; (s = job.summed.load(std::memory_order_acquire)) <= c - RingChunks;)
            job.summed.wait(s, std::memory_order_acquire);
        render_tracks(job, c, 2);
        job.helperDone.store(c + 1, std::memory_order_release);
        job.helperDone.notify_one();
    }
}

}   // namespace

void synth_render_parallel(int16_t* out, int32_t count, uint32_t heard, float* peaks)
{
    if (count <= 0)
        return;
    ParallelRender job;
    job.out = out;
    job.count = count;
    job.start = SongPosition.load(std::memory_order_relaxed);
    job.played = song_played_tracks();
    job.heard = heard;
    job.peaks = peaks;
    job.chunks = (count + ChunkSamples - 1) / ChunkSamples;
    if (peaks)
        std::fill(peaks, peaks + size_t((count + PeakWindowSamples - 1) / PeakWindowSamples) * MaxVoices, 0.0f);
    job.lanes.resize(size_t(RingChunks) * size_t(job.played) * ChunkSamples);

    std::thread helper(helper_thread, std::ref(job));
    for (int32_t c = 0; c < job.chunks; ++c) {
        // The helper never waits for this thread's tracks, only for summed
        // slots, and this thread sums only after rendering its own part.
        render_tracks(job, c, 1);
        for (int32_t d; (d = job.helperDone.load(std::memory_order_acquire)) <= c;)
            job.helperDone.wait(d, std::memory_order_acquire);
        sum_chunk(job, c);
        job.summed.store(c + 1, std::memory_order_release);
        job.summed.notify_one();
    }
    helper.join();
    SongPosition.store(job.start + count, std::memory_order_relaxed);
}
