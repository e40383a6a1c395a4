// The two-thread render: the song cut into blocks, which the calling thread
// and the second core (playback/second_core.h) take in turn, each rendering
// every track of its block and summing them in track order, exactly as
// synth_render does for those samples; so every sample is bit-identical.
//
// What makes neighbouring blocks independent is the echo delay: a track's
// line slot written at sample P is read back at P + EchoLength - 1, and a
// block is (EchoLength - 1) / 2 samples long, so a block reads only what
// blocks two or more before it wrote. At that length, two blocks cover the
// line but for a slot or two: each thread keeps writing and reading the
// same half of every line, which stays in its own core's cache. (Echo slots
// that pass from one core to the other cost more than rendering them: with
// blocks of whole peak windows, a fifth of every line moved each time, and
// two threads were no faster than one.) A thread may therefore render
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
// A block's peak windows are those of out; the window a block begins in
// may have begun in the block before, whose thread writes its first part:
// the block keeps that window's peaks aside and they are merged once the
// block before is complete, as its first slots are stored.
//
// The calling thread takes the even blocks and the second core the odd
// ones, so that neither block nor echo half changes core while both run.
// The second core may start late (a sleeping core takes milliseconds to
// wake): an odd block it has not taken when the calling thread gets past it
// is the calling thread's. A thread the machine takes away in the middle of
// a block holds up the other until it returns, which on a busy machine
// happens again and again: so once the calling thread has had to sleep
// waiting for a block, the helper takes no more and the calling thread
// renders the rest alone. The calling thread reports progress, in order, as
// the completed prefix of the song grows.
#include "synth/synth.h"

#include "playback/playback.h"
#include "playback/second_core.h"
#include "synth/mixer.h"
#include "synth/song.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr int32_t ChunkSamples = PeakWindowSamples;   // a chunk is one peak window
constexpr int32_t HeldBlocks = 4;   // blocks whose first slots may wait to be stored at once: two
// Blocks of a song without tracks (no echo to keep apart): sixteen chunks.
constexpr int32_t SilentBlockSamples = 16 * ChunkSamples;

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
    int32_t blockSamples = 0;
    int32_t blocks = 0;
    bool holdFirstSlots = false;        // two threads: a block's first slots wait for the block before it
    std::unique_ptr<std::atomic<bool>[]> taken;   // per block: a thread has taken it
    std::atomic<bool> helperStarted{false};
    std::atomic<int32_t> passed{0};     // the calling thread has reached this block (helper's below are its)
    std::atomic<bool> alone{false};     // the helper takes no more blocks
    std::atomic<int32_t> complete{0};   // blocks 0..complete-1 rendered and their first slots stored
    std::mutex finishing;               // guards rendered, the storing of held slots and changes of complete
    std::condition_variable completed;  // complete grew (for a thread that sleeps waiting for it)
    std::vector<uint8_t> rendered;
    float held[HeldBlocks][MaxVoices] = {};
    float edgePeaks[HeldBlocks][MaxVoices] = {};   // a block's first window, when it began before the block
};

// One thread's walk through the song.
struct Renderer {
    MixerWalk walk;
    int32_t at = 0;   // samples of the job the walk has passed
    float sum[ChunkSamples];
};

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
    const int64_t samples = int64_t(job.complete.load(std::memory_order_acquire)) * job.blockSamples;
    const int32_t done = samples >= job.count ? job.chunks : int32_t(samples / ChunkSamples);
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
            job.alone.store(true, std::memory_order_release);   // after `passed`: see render_blocks
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

int32_t block_start(const ParallelRender& job, int32_t b)
{
    return b * job.blockSamples;
}

// Whether block b begins inside a peak window that began in the block before.
bool begins_mid_window(const ParallelRender& job, int32_t b)
{
    return block_start(job, b) % ChunkSamples != 0;
}

// Every track of block b through its echo line into the sums, in track
// order, and out, one peak window's part at a time; the block's first slot
// of each line goes aside, and so do the peaks of a window it shares with
// the block before.
void render_block(ParallelRender& job, Renderer& r, int32_t b)
{
    float* held = job.held[b % HeldBlocks];
    float* edgePeaks = job.edgePeaks[b % HeldBlocks];
    const int32_t first = block_start(job, b);
    const int32_t end = std::min(job.count, first + job.blockSamples);
    if (job.holdFirstSlots && job.played > 0) {
        // What stays in the slot for a track that does not write its line.
        const size_t slot = size_t((job.start + first) % Song.EchoLength);
        for (int32_t t = 1; t <= job.played; ++t)
            if (line_in_use(t))
                held[t] = Song.instruments[t].echoLine[slot];
    }
    if (job.peaks && begins_mid_window(job, b))
        std::fill(edgePeaks, edgePeaks + MaxVoices, 0.0f);
    MixTargets to;
    to.heardMask = job.heard;
    for (int32_t from = first; from < end;) {
        const int32_t w = from / ChunkSamples;
        const int32_t n = std::min(end, (w + 1) * ChunkSamples) - from;
        const int32_t position = job.start + from;
        if (job.played == 0)
            std::fill(r.sum, r.sum + n, 0.0f);
        if (job.peaks)
            to.peaks = from == first && begins_mid_window(job, b) ? edgePeaks : job.peaks + size_t(w) * MaxVoices;
        for (int32_t i = 0; i < n && job.played > 0;) {
            mixer_row_steps(r.walk, 1, job.played, position + i);
            const int32_t run = std::min(n - i, Song.RowLength - (position + i) % Song.RowLength);
            to.heard = r.sum + i;
            to.held = job.holdFirstSlots && from == first && i == 0 ? held : nullptr;
            mixer_mix_tracks(r.walk, 1, job.played, position + i, run, to);
            i += run;
        }
        mixer_write_output(r.sum, job.out + from, n);
        r.at += n;
        from += n;
    }
}

// Block b rendered: the complete prefix grows over every rendered block that
// follows it, storing each one's first slots and merging its first window's
// peaks now that the block before it is complete.
void finish_block(ParallelRender& job, int32_t b)
{
    std::lock_guard<std::mutex> lock(job.finishing);
    job.rendered[size_t(b)] = 1;
    int32_t complete = job.complete.load(std::memory_order_relaxed);
    const int32_t before = complete;
    for (; complete < job.blocks && job.rendered[size_t(complete)]; ++complete) {
        if (job.peaks && begins_mid_window(job, complete)) {
            float* window = job.peaks + size_t(block_start(job, complete) / ChunkSamples) * MaxVoices;
            const float* edge = job.edgePeaks[complete % HeldBlocks];
            for (int32_t t = 0; t < MaxVoices; ++t)
                window[t] = std::max(window[t], edge[t]);
        }
        if (!job.holdFirstSlots || job.played == 0)
            continue;
        const size_t slot = size_t((job.start + block_start(job, complete)) % Song.EchoLength);
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

// Takes block b for the calling thread; false when the other has it.
bool take(ParallelRender& job, int32_t b)
{
    return !job.taken[size_t(b)].exchange(true, std::memory_order_relaxed);
}

// Renders block b, taken by this thread, once blocks 0..b-2 are complete.
void render_taken(ParallelRender& job, Renderer& r, int32_t b, int32_t* reported)
{
    skip_to(job, r, block_start(job, b));
    wait_complete(job, b - 1, reported);
    render_block(job, r, b);
    finish_block(job, b);
    report(job, reported);
}

// One thread's share: the calling thread (the one with `reported`) takes
// the even blocks, the helper the odd ones, so each keeps its own halves of
// the echo lines. Until the helper has started, and once it has been told
// to stop, the calling thread takes each odd block before the even one
// after it; the helper then takes only the odd blocks the calling thread
// has already passed (a walk only goes forward). True when this thread
// rendered the last block (its walk is then the song's).
bool render_blocks(ParallelRender& job, Renderer& r, int32_t* reported)
{
    const bool calling = reported != nullptr;
    if (!calling)
        job.helperStarted.store(true, std::memory_order_relaxed);
    const auto helper_takes = [&job]() {
        return job.helperStarted.load(std::memory_order_relaxed) && !job.alone.load(std::memory_order_relaxed);
    };
    int32_t last = -1;
    const auto render_if_taken = [&](int32_t b) {
        if (take(job, b)) {
            render_taken(job, r, b, reported);
            last = b;
        }
    };
    for (int32_t b = calling ? 0 : 1; b < job.blocks; b += 2) {
        if (calling) {
            if (b > 0 && !helper_takes())
                render_if_taken(b - 1);
            job.passed.store(b, std::memory_order_release);
        } else if (job.alone.load(std::memory_order_acquire) && b >= job.passed.load(std::memory_order_acquire)) {
            break;
        }
        render_if_taken(b);
    }
    if (calling) {
        if (job.blocks % 2 == 0 && !helper_takes())
            render_if_taken(job.blocks - 1);
        job.passed.store(job.blocks, std::memory_order_release);
    }
    return last == job.blocks - 1;
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
    const int32_t blockSamples = job.played > 0 ? (Song.EchoLength - 1) / 2 : SilentBlockSamples;
    const bool two = blockSamples >= ChunkSamples;
    job.blockSamples = two ? blockSamples : ChunkSamples;
    job.holdFirstSlots = two;
    job.blocks = int32_t((int64_t(count) + job.blockSamples - 1) / job.blockSamples);
    job.rendered.assign(size_t(job.blocks), 0);
    job.taken = std::make_unique<std::atomic<bool>[]>(size_t(job.blocks));

    Renderer mine, helper;
    mixer_walk_load(mine.walk);
    helper.walk = mine.walk;
    struct Helping {
        ParallelRender& job;
        Renderer& helper;
        bool last = false;   // it rendered the last block
    } helping{job, helper};
    const auto helperShare = [](void* context) {
        Helping& h = *static_cast<Helping*>(context);
        h.last = render_blocks(h.job, h.helper, nullptr);
    };
    const bool offered = two && job.blocks > 1 && second_core_offer(helperShare, &helping);
    int32_t reported = 0;
    const bool mineLast = render_blocks(job, mine, &reported);
    wait_complete(job, job.blocks, &reported);
    const bool helperLast = offered && !second_core_take_back() && helping.last;
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
