// The two-thread render, as a pipeline of the sequencer's two stages
// (mixer.h). The helper thread does the row steps and reads the playing
// notes, chunk after chunk, into the chunk's rows; the calling thread puts
// every track of a read chunk through its echo line into the chunk's sum,
// in track order, and writes the chunk out. Voices belong to the helper,
// echo lines to the calling thread; what the second stage needs of a voice
// (its volume and echo switch during each run) travels with the rows.
//
// The reading is the larger stage, so the helper reads only tracks 1..split
// and the calling thread reads the rest itself, just before their echo
// lines: the split starts at all tracks and then follows the measured work,
// every few chunks moving by one track towards the thread that was idle.
// On a machine whose other core is busy the helper may get little time;
// the split then falls to 0 and the calling thread renders nearly alone.
//
// Every sample's sum is therefore 0.0 + v1 + v2 + ... in track order, the
// same operations in the same order as synth_render, so every sample is
// bit-identical. Both threads see every track, so neither splits a batch of
// four note lanes (mixer.h) that one thread would read as one.
//
// Chunks live in a ring of slots, so the helper may run up to a ring ahead:
// a busy machine that holds one thread back for a while costs no lock-step
// waiting at every chunk.
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/mixer.h"
#include "synth/song.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int32_t ChunkSamples = PeakWindowSamples;   // a chunk is one peak window
constexpr int32_t RingChunks = 16;
constexpr int32_t BalanceChunks = 16;                 // chunks between two split decisions

using Clock = std::chrono::steady_clock;

struct ChunkSlot {
    std::vector<float> rows;         // played rows of ChunkSamples: the notes read
    std::vector<float*> row;         // row[t - 1]: track t's row
    std::vector<NoteRun> runs;       // the chunk's runs, cut at row boundaries
    int32_t split = 0;               // the helper read tracks 1..split
    float sum[ChunkSamples];
};

struct ParallelRender {
    int16_t* out = nullptr;
    int32_t count = 0;
    int32_t start = 0;                 // song position of out[0]
    int32_t played = 0;
    uint32_t heard = AllTracks;
    float* peaks = nullptr;
    int32_t chunks = 0;
    std::vector<ChunkSlot> ring;
    std::atomic<int32_t> read{0};      // chunks whose notes are read
    std::atomic<int32_t> written{0};   // chunks written out; their slots are free
    std::atomic<int64_t> mainIdle{0};  // the calling thread's time waiting for the helper, in ns
};

int32_t chunk_length(const ParallelRender& job, int32_t chunk)
{
    return std::min(ChunkSamples, job.count - chunk * ChunkSamples);
}

ChunkSlot& slot(ParallelRender& job, int32_t chunk)
{
    return job.ring[size_t(chunk % RingChunks)];
}

void wait_until_above(std::atomic<int32_t>& counter, int32_t value)
{
    for (int32_t seen; (seen = counter.load(std::memory_order_acquire)) <= value;)
        counter.wait(seen, std::memory_order_acquire);
}

// First stage of one chunk for tracks 1..split: row steps and notes, run by run.
void read_chunk(ParallelRender& job, int32_t chunk, int32_t split)
{
    ChunkSlot& at = slot(job, chunk);
    at.split = split;
    const int32_t n = chunk_length(job, chunk);
    const int32_t position = job.start + chunk * ChunkSamples;
    at.runs.clear();
    if (job.played == 0) {   // no tracks, perhaps no tempo: one silent run
        at.runs.emplace_back();
        at.runs.back().n = n;
        return;
    }
    const int32_t rowLength = Song.RowLength;
    for (int32_t i = 0; i < n;) {
        const int32_t intoRow = (position + i) % rowLength;
        if (intoRow == 0)
            for (int32_t t = 1; t <= split; ++t)
                mixer_row_step(t);
        const int32_t run = std::min(n - i, rowLength - intoRow);
        at.runs.emplace_back();
        mixer_read_tracks(1, split, position + i, run, at.row.data(), i, at.runs.back());
        at.runs.back().n = run;
        at.runs.back().position = position + i;
        at.runs.back().offset = i;
        i += run;
    }
}

// Second stage: the tracks through their echo lines into the sum, then out.
void write_chunk(ParallelRender& job, int32_t chunk)
{
    ChunkSlot& at = slot(job, chunk);
    const int32_t n = chunk_length(job, chunk);
    std::fill(at.sum, at.sum + n, 0.0f);
    MixTargets to;
    to.heardMask = job.heard;
    to.peaks = job.peaks ? job.peaks + size_t(chunk) * MaxVoices : nullptr;
    for (const NoteRun& run : at.runs) {
        to.heard = at.sum + run.offset;
        if (job.played == 0)
            continue;
        mixer_deliver_tracks(1, at.split, run, at.row.data(), to);
        // The rest read and delivered here, in track order after the others.
        if (at.split < job.played) {
            if (run.position % Song.RowLength == 0)
                for (int32_t t = at.split + 1; t <= job.played; ++t)
                    mixer_row_step(t);
            mixer_mix_tracks(at.split + 1, job.played, run.position, run.n, to);
        }
    }
    mixer_write_output(at.sum, job.out + size_t(chunk) * ChunkSamples, n);
}

void helper_thread(ParallelRender& job)
{
    int32_t split = job.played;
    int64_t idle = 0, mainIdleBefore = 0;
    for (int32_t c = 0; c < job.chunks; ++c) {
        if (c > 0 && c % BalanceChunks == 0) {
            // Whichever thread waited for the other longer over the last
            // chunks had less to do; a margin keeps the split from swinging.
            const int64_t mainIdle = job.mainIdle.load(std::memory_order_relaxed);
            const int64_t mainRecent = mainIdle - mainIdleBefore;
            mainIdleBefore = mainIdle;
            if (mainRecent > idle + idle / 4 + 20000 && split > 0) {
                --split;   // the calling thread takes this thread's last track
            } else if (idle > mainRecent + mainRecent / 4 + 20000 && split < job.played) {
                // This thread takes the calling thread's first track back,
                // once the calling thread has read it up to this chunk.
                wait_until_above(job.written, c - 1);
                ++split;
            }
            idle = 0;
        }
        // Wait for a free slot: chunk c - RingChunks must have been written.
        const Clock::time_point before = Clock::now();
        wait_until_above(job.written, c - RingChunks);
        idle += (Clock::now() - before).count();
        read_chunk(job, c, split);
        job.read.store(c + 1, std::memory_order_release);
        job.read.notify_one();
    }
}

void render_parallel(int16_t* out, int32_t count, uint32_t heard, float* peaks, SynthProgress progress,
                     void* context)
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
        std::fill(peaks, peaks + size_t(job.chunks) * MaxVoices, 0.0f);
    job.ring.resize(size_t(std::min(RingChunks, job.chunks)));
    for (ChunkSlot& at : job.ring) {
        at.rows.resize(size_t(job.played) * ChunkSamples);
        for (int32_t t = 0; t < job.played; ++t)
            at.row.push_back(at.rows.data() + size_t(t) * ChunkSamples);
        at.runs.reserve(8);
    }

    std::thread helper(helper_thread, std::ref(job));
    for (int32_t c = 0; c < job.chunks; ++c) {
        const Clock::time_point before = Clock::now();
        wait_until_above(job.read, c);
        job.mainIdle.fetch_add((Clock::now() - before).count(), std::memory_order_relaxed);
        write_chunk(job, c);
        job.written.store(c + 1, std::memory_order_release);
        job.written.notify_one();
        if (progress)
            progress(context, c * ChunkSamples + chunk_length(job, c));
    }
    helper.join();
    SongPosition.store(job.start + count, std::memory_order_relaxed);
}

}   // namespace

void synth_render_parallel(int16_t* out, int32_t count, uint32_t heard, float* peaks)
{
    render_parallel(out, count, heard, peaks, nullptr, nullptr);
}

void synth_render_progress(int16_t* out, int32_t count, SynthProgress progress, void* context)
{
    render_parallel(out, count, AllTracks, nullptr, progress, context);
}
