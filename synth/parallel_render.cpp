// The two-thread render: the song cut into blocks of whole chunks (peak
// windows), which the two threads take in turn, each rendering every track
// of its block and summing them in track order, exactly as synth_render does
// for those samples; so every sample is bit-identical.
//
// What makes neighbouring blocks independent is the echo delay: a track's
// line slot written at sample P is read back at P + EchoLength - 1, and a
// block is at most (EchoLength - 1) / 2 samples long, so a block reads only
// what blocks two or more before it wrote. A thread may therefore render
// block b as soon as blocks 0..b-2 are complete, while the other thread
// renders b-1 or b+1. Their accesses to the lines meet in one slot only: the
// one block b's first sample writes, whose old value block b-1's last sample
// still reads. Block b keeps that write aside (MixTargets::held) and it is
// stored once block b-1 is complete, before any block that reads it begins.
//
// The voices are not shared: each thread walks the whole song with its own
// copy, rendering its blocks and only stepping through the other's (rows and
// note positions advance, nothing is read or mixed), so both copies pass
// through the states a one-thread render would.
//
// Blocks are taken from a shared counter, and only once they can start, so
// a thread that starts late, runs slower or sleeps simply takes fewer of
// them. A thread the machine takes away in the middle of a block holds up
// the other until it returns, which on a busy
// machine happens again and again: so once the calling thread has had to
// sleep waiting for a block, the helper takes no more and the calling thread
// renders the rest alone. The calling thread reports progress, in order, as
// the completed prefix of the song grows.
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/mixer.h"
#include "synth/song.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr int32_t ChunkSamples = PeakWindowSamples;   // a chunk is one peak window
constexpr int32_t HeldBlocks = 4;   // blocks whose first slots may wait to be stored at once: two

struct ParallelRender {
    int16_t* out = nullptr;
    int32_t count = 0;
    int32_t start = 0;                 // song position of out[0]
    int32_t played = 0;
    uint32_t heard = AllTracks;
    float* peaks = nullptr;
    SynthProgress progress = nullptr;
    void* context = nullptr;
    int32_t chunks = 0;
    int32_t blockChunks = 0;
    int32_t blocks = 0;
    bool holdFirstSlots = false;        // two threads: a block's first slots wait for the block before it
    std::atomic<int32_t> next{0};       // the next block to take
    std::atomic<bool> alone{false};     // the helper takes no more blocks
    std::atomic<int32_t> complete{0};   // blocks 0..complete-1 rendered and their first slots stored
    std::mutex finishing;               // guards rendered, the storing of held slots and changes of complete
    std::condition_variable completed;  // complete grew (for a thread that sleeps waiting for it)
    std::vector<uint8_t> rendered;
    float held[HeldBlocks][MaxVoices] = {};
};

// One thread's walk through the song.
struct Renderer {
    MixerWalk walk;
    int32_t at = 0;   // samples of the job the walk has passed
    float sum[ChunkSamples];
};

int32_t chunk_length(const ParallelRender& job, int32_t chunk)
{
    return std::min(ChunkSamples, job.count - chunk * ChunkSamples);
}

// The tracks whose echo line has a slot for every song position.
bool line_in_use(int32_t t)
{
    return Song.instruments[t].sampleLength != 0 && int64_t(Song.instruments[t].echoLine.size()) >= Song.EchoLength;
}

// Waits until at least `blocks` blocks are complete; the calling thread
// (the one with `reported`) reports progress meanwhile. It spins first: a
// block takes some ten microseconds, much less than a sleep and a wake-up.
// A wait of more than SpinLimit means the other thread is not running: the
// calling thread then sleeps, and renders the rest alone.
constexpr std::chrono::microseconds SpinLimit{200};

void report(ParallelRender& job, int32_t* reported)
{
    if (!reported || !job.progress)
        return;
    const int32_t done = std::min(job.chunks, job.complete.load(std::memory_order_acquire) * job.blockChunks);
    for (; *reported < done; ++*reported)
        job.progress(job.context, std::min((*reported + 1) * ChunkSamples, job.count));
}

void wait_complete(ParallelRender& job, int32_t blocks, int32_t* reported)
{
    std::chrono::steady_clock::time_point since;
    for (int32_t spin = 0;; ++spin) {
        const int32_t seen = job.complete.load(std::memory_order_acquire);
        report(job, reported);
        if (seen >= blocks)
            return;
        if (spin == 0)
            since = std::chrono::steady_clock::now();
        if (spin % 64 != 0 || std::chrono::steady_clock::now() - since < SpinLimit) {
#if defined(__x86_64__) || defined(__i386__)
            _mm_pause();
#endif
            continue;
        }
        if (reported)
            job.alone.store(true, std::memory_order_relaxed);
        // complete changes only under the mutex, so no growth is missed.
        std::unique_lock<std::mutex> lock(job.finishing);
        job.completed.wait(lock, [&]() { return job.complete.load(std::memory_order_relaxed) != seen; });
    }
}

// Steps the walk through the song up to sample `to` of the job, rendering nothing.
void skip_to(ParallelRender& job, Renderer& r, int32_t to)
{
    if (job.played == 0) {
        r.at = to;
        return;
    }
    const int32_t rowLength = Song.RowLength;
    while (r.at < to) {
        const int32_t position = job.start + r.at;
        mixer_row_steps(r.walk, 1, job.played, position);
        const int32_t run = std::min(to - r.at, rowLength - position % rowLength);
        mixer_skip_tracks(r.walk, 1, job.played, run);
        r.at += run;
    }
}

// Every track of block b through its echo line into the chunks' sums, in
// track order, and out; the block's first slot of each line goes aside.
void render_block(ParallelRender& job, Renderer& r, int32_t b)
{
    float* held = job.held[b % HeldBlocks];
    const int32_t firstChunk = b * job.blockChunks;
    const int32_t endChunk = std::min(job.chunks, firstChunk + job.blockChunks);
    if (job.holdFirstSlots && job.played > 0) {
        // What stays in the slot for a track that does not write its line.
        const size_t slot = size_t((job.start + firstChunk * ChunkSamples) % Song.EchoLength);
        for (int32_t t = 1; t <= job.played; ++t)
            if (line_in_use(t))
                held[t] = Song.instruments[t].echoLine[slot];
    }
    MixTargets to;
    to.heardMask = job.heard;
    for (int32_t c = firstChunk; c < endChunk; ++c) {
        const int32_t n = chunk_length(job, c);
        const int32_t position = job.start + c * ChunkSamples;
        if (job.played == 0)
            std::fill(r.sum, r.sum + n, 0.0f);
        to.peaks = job.peaks ? job.peaks + size_t(c) * MaxVoices : nullptr;
        for (int32_t i = 0; i < n && job.played > 0;) {
            mixer_row_steps(r.walk, 1, job.played, position + i);
            const int32_t run = std::min(n - i, Song.RowLength - (position + i) % Song.RowLength);
            to.heard = r.sum + i;
            to.held = job.holdFirstSlots && c == firstChunk && i == 0 ? held : nullptr;
            mixer_mix_tracks(r.walk, 1, job.played, position + i, run, to);
            i += run;
        }
        mixer_write_output(r.sum, job.out + size_t(c) * ChunkSamples, n);
        r.at += n;
    }
}

// Block b rendered: the complete prefix grows over every rendered block that
// follows it, storing each one's first slots now that the block before it is
// complete.
void finish_block(ParallelRender& job, int32_t b)
{
    std::lock_guard<std::mutex> lock(job.finishing);
    job.rendered[size_t(b)] = 1;
    int32_t complete = job.complete.load(std::memory_order_relaxed);
    const int32_t before = complete;
    for (; complete < job.blocks && job.rendered[size_t(complete)]; ++complete) {
        if (!job.holdFirstSlots || job.played == 0)
            continue;
        const size_t slot = size_t((job.start + complete * job.blockChunks * ChunkSamples) % Song.EchoLength);
        const float* held = job.held[complete % HeldBlocks];
        for (int32_t t = 1; t <= job.played; ++t)
            if (line_in_use(t))
                Song.instruments[t].echoLine[slot] = held[t];
    }
    if (complete != before) {
        job.complete.store(complete, std::memory_order_release);
        job.completed.notify_all();
    }
}

// One thread's share: blocks as they come, each once blocks 0..b-2 are
// complete. True when this thread rendered the last block (its walk is then
// the song's).
bool render_blocks(ParallelRender& job, Renderer& r, int32_t* reported)
{
    bool last = false;
    for (;;) {
        if (!reported && job.alone.load(std::memory_order_relaxed))
            return last;
        // A block is taken only once it can start, so a thread never holds
        // one while it waits: the other may take it meanwhile, and a thread
        // that sleeps or is taken away holds up nothing it has not begun.
        const int32_t ahead = job.next.load(std::memory_order_relaxed);
        if (ahead >= job.blocks)
            return last;
        wait_complete(job, ahead - 1, reported);
        if (!reported && job.alone.load(std::memory_order_relaxed))
            return last;
        const int32_t b = job.next.fetch_add(1, std::memory_order_relaxed);
        if (b >= job.blocks)
            return last;
        skip_to(job, r, b * job.blockChunks * ChunkSamples);
        wait_complete(job, b - 1, reported);
        render_block(job, r, b);
        finish_block(job, b);
        report(job, reported);
        last = b == job.blocks - 1;
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
    job.progress = progress;
    job.context = context;
    job.chunks = (count + ChunkSamples - 1) / ChunkSamples;
    if (peaks)
        std::fill(peaks, peaks + size_t(job.chunks) * MaxVoices, 0.0f);
    // Two blocks within one echo delay; at a tempo so fast that a block
    // would be shorter than a chunk, one thread renders chunk by chunk.
    const int32_t blockChunks = job.played > 0 ? (Song.EchoLength - 1) / 2 / ChunkSamples : 16;
    const bool two = blockChunks >= 1;
    job.blockChunks = std::max(1, blockChunks);
    job.holdFirstSlots = two;
    job.blocks = (job.chunks + job.blockChunks - 1) / job.blockChunks;
    job.rendered.assign(size_t(job.blocks), 0);

    Renderer mine, helper;
    mixer_walk_load(mine.walk);
    helper.walk = mine.walk;
    bool helperLast = false;
    std::thread second;
    if (two && job.blocks > 1)
        second = std::thread([&]() { helperLast = render_blocks(job, helper, nullptr); });
    int32_t reported = 0;
    const bool mineLast = render_blocks(job, mine, &reported);
    wait_complete(job, job.blocks, &reported);
    if (second.joinable())
        second.join();
    mixer_walk_store(mineLast || !helperLast ? mine.walk : helper.walk);
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
