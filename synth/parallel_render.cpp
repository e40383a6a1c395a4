// The two-thread render: the song cut into blocks, which the calling thread
// and the second core (playback/second_core.h) take in turn, each rendering
// every track of its block and summing them in track order, exactly as
// synth_render does for those samples; so every sample is bit-identical.
//
// What makes neighbouring blocks independent is the echo delay: a track's
// line slot written at sample P is read back at P + EchoLength - 1, and a
// block is (EchoLength - 1) / 2 samples long, so a block reads only what
// blocks two or more before it wrote: block b may be rendered once blocks
// 0..b-2 are done, while the other thread renders b-1 or b+1. Their
// accesses to the lines meet in one slot only: the one block b's first
// sample writes, whose old value block b-1's last sample still reads. Block
// b keeps that write aside (MixTargets::held); the thread that renders block
// b+2, the one block that reads the slot, stores it before it begins (block
// b-1 is done by then), and the last two blocks' are stored at the end.
//
// Each thread's work stays on its own core. The calling thread takes the
// even blocks and the second core the odd ones; at this block length two
// blocks cover a line but for a slot or two, so each thread keeps reading
// and writing the same half of every line. The threads meet only at a
// block's end, through a flag per block on a cache line of its own: on the
// machines this runs on, every cache line that passes from one core to the
// other costs as much as mixing a hundred samples, and the two threads were
// no faster than one while a block's first slots, a shared count of done
// blocks and its lock moved at every block.
//
// The voices are not shared: each thread walks the whole song with its own
// copy, rendering its blocks and only stepping through the other's (rows and
// note positions advance, nothing is read or mixed), so both copies pass
// through the states a one-thread render would.
//
// A block's peak windows are those of out; the window a block begins in
// may have begun in the block before, whose thread writes its first part:
// the block keeps that window's peaks aside, and they are merged when its
// first slots are stored.
//
// The second core may start late (a sleeping core takes milliseconds to
// wake): until it has started, the calling thread takes each odd block
// before the even one after it. A thread the machine takes away in the
// middle of a block holds up the other until it returns, which on a busy
// machine happens again and again: so once the calling thread has had to
// sleep waiting for a block, the helper takes only the odd blocks the
// calling thread has already passed (a walk only goes forward) and the
// calling thread renders the rest alone. The calling thread reports
// progress, in order, as the done prefix of the song grows.
#include "synth/synth.h"

#include "playback/playback.h"
#include "playback/second_core.h"
#include "synth/mixer.h"
#include "synth/song.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>


namespace {

constexpr int32_t ChunkSamples = PeakWindowSamples;   // a chunk is one peak window
// Blocks of a song without tracks (no echo to keep apart): sixteen chunks.
constexpr int32_t SilentBlockSamples = 16 * ChunkSamples;
// Blocks whose first slots or first window's peaks may wait at once: two,
// and the two the renders of the next two may be filling.
constexpr int32_t KeptBlocks = 4;

// One per block, each on a cache line of its own.
struct alignas(64) BlockFlags {
    std::atomic<int32_t> done{0};      // rendered (its kept slots and peaks wait for block b+2)
    std::atomic<bool> taken{false};    // a thread has it
};

// What a block keeps aside for the render of the block two after it.
struct Kept {
    float slots[MaxVoices] = {};   // its first sample's write into each track's line
    float peaks[MaxVoices] = {};   // its first window's peaks, when the window began before the block
};

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
    bool holdFirstSlots = false;       // two threads: a block's first slots wait for the block before it
    std::unique_ptr<BlockFlags[]> flags;
    Kept kept[KeptBlocks];
    alignas(64) std::atomic<bool> helperStarted{false};
    std::atomic<bool> alone{false};    // the helper takes only the blocks the calling thread has passed
    alignas(64) std::atomic<int32_t> passed{0};   // the calling thread has reached this block
};

// One thread's walk through the song, on cache lines of its own.
struct alignas(64) Renderer {
    MixerWalk walk;
    int32_t at = 0;   // samples of the job the walk has passed
    float sum[ChunkSamples];
};

int32_t block_start(const ParallelRender& job, int32_t b)
{
    return b * job.blockSamples;
}

// Whether block b begins inside a peak window that began in the block before.
bool begins_mid_window(const ParallelRender& job, int32_t b)
{
    return block_start(job, b) % ChunkSamples != 0;
}

bool is_done(const ParallelRender& job, int32_t b)
{
    return b < 0 || job.flags[size_t(b)].done.load(std::memory_order_acquire) != 0;
}

// The tracks whose echo line has a slot for every song position.
bool line_in_use(int32_t t)
{
    return Song.instruments[t].sampleLength != 0 && int64_t(Song.instruments[t].echoLine.size()) >= Song.EchoLength;
}

// Reports the done prefix of the song (the calling thread, `reported`
// chunks so far, `prefix` blocks known done).
void report(ParallelRender& job, int32_t& prefix, int32_t* reported)
{
    if (!reported || !job.progress)
        return;
    while (prefix < job.blocks && is_done(job, prefix))
        ++prefix;
    const int64_t samples = int64_t(prefix) * job.blockSamples;
    const int32_t done = samples >= job.count ? job.chunks : int32_t(samples / ChunkSamples);
    for (; *reported < done; ++*reported)
        job.progress(job.context, std::min((*reported + 1) * ChunkSamples, job.count));
}

// Waits until blocks 0..b-2 are done: blocks b-2 and b-3 (a block is
// rendered only once the blocks two or more before it are done, so theirs
// imply the rest). It spins first: a block takes some ten microseconds, much
// less than a sleep and a wake-up. A wait of more than SpinLimit means the
// other thread is not running: the calling thread (the one with `reported`)
// then tells the helper to stop and sleeps.
constexpr std::chrono::microseconds SpinLimit{200};

void wait_for_blocks(ParallelRender& job, int32_t b, int32_t& prefix, int32_t* reported)
{
    std::chrono::steady_clock::time_point since;
    for (int32_t spin = 0;; ++spin) {
        report(job, prefix, reported);
        const int32_t missing = !is_done(job, b - 3) ? b - 3 : !is_done(job, b - 2) ? b - 2 : -1;
        if (missing < 0)
            return;
        if (spin == 0)
            since = std::chrono::steady_clock::now();
        if (spin % 64 != 0 || std::chrono::steady_clock::now() - since < SpinLimit) {
            second_core_pause();
            continue;
        }
        if (reported)
            job.alone.store(true, std::memory_order_release);   // after `passed`: see render_blocks
        job.flags[size_t(missing)].done.wait(0, std::memory_order_acquire);
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

// Stores what block k kept aside: its first slots into the lines, its
// first window's peaks into the window. Blocks 0..k-1 are done.
void store_kept(ParallelRender& job, int32_t k)
{
    if (k < 0)
        return;
    const Kept& kept = job.kept[k % KeptBlocks];
    if (job.peaks && begins_mid_window(job, k)) {
        float* window = job.peaks + size_t(block_start(job, k) / ChunkSamples) * MaxVoices;
        for (int32_t t = 0; t < MaxVoices; ++t)
            window[t] = std::max(window[t], kept.peaks[t]);
    }
    if (!job.holdFirstSlots || job.played == 0)
        return;
    const size_t slot = size_t((job.start + block_start(job, k)) % Song.EchoLength);
    for (int32_t t = 1; t <= job.played; ++t)
        if (line_in_use(t))
            Song.instruments[t].echoLine[slot] = kept.slots[t];
}

// Every track of block b through its echo line into the sums, in track
// order, and out; the block's first slot of each line goes aside, and so do
// the peaks of a window it shares with the block before.
void render_block(ParallelRender& job, Renderer& r, int32_t b)
{
    Kept& kept = job.kept[b % KeptBlocks];
    const int32_t first = block_start(job, b);
    const int32_t end = std::min(job.count, first + job.blockSamples);
    if (job.holdFirstSlots && job.played > 0) {
        // What stays in the slot for a track that does not write its line.
        const size_t slot = size_t((job.start + first) % Song.EchoLength);
        for (int32_t t = 1; t <= job.played; ++t)
            if (line_in_use(t))
                kept.slots[t] = Song.instruments[t].echoLine[slot];
    }
    if (job.peaks && begins_mid_window(job, b))
        std::fill(kept.peaks, kept.peaks + MaxVoices, 0.0f);
    MixTargets to;
    to.heardMask = job.heard;
    // Runs as long as the mixer takes, cut at row boundaries (and with peaks
    // at window boundaries), each mixed and written out at once.
    for (int32_t from = first; from < end;) {
        const int32_t w = from / ChunkSamples;
        const int32_t position = job.start + from;
        int32_t n = std::min(end - from, ChunkSamples);
        if (job.peaks) {
            n = std::min(n, (w + 1) * ChunkSamples - from);
            to.peaks = from == first && begins_mid_window(job, b) ? kept.peaks : job.peaks + size_t(w) * MaxVoices;
        }
        if (job.played > 0) {
            mixer_row_steps(r.walk, 1, job.played, position);
            n = std::min(n, Song.RowLength - position % Song.RowLength);
            to.heard = r.sum;
            to.held = job.holdFirstSlots && from == first ? kept.slots : nullptr;
            mixer_mix_tracks(r.walk, 1, job.played, position, n, to);
        } else {
            std::fill(r.sum, r.sum + n, 0.0f);
        }
        mixer_write_output(r.sum, job.out + from, n);
        r.at += n;
        from += n;
    }
}

// Takes block b for the calling thread; false when the other has it.
bool take(ParallelRender& job, int32_t b)
{
    return !job.flags[size_t(b)].taken.exchange(true, std::memory_order_relaxed);
}

// Renders block b, taken by this thread, once blocks 0..b-2 are done,
// storing first what block b-2 kept aside for it.
void render_taken(ParallelRender& job, Renderer& r, int32_t b, int32_t& prefix, int32_t* reported)
{
    skip_to(job, r, block_start(job, b));
    wait_for_blocks(job, b, prefix, reported);
    store_kept(job, b - 2);
    render_block(job, r, b);
    job.flags[size_t(b)].done.store(1, std::memory_order_release);
    job.flags[size_t(b)].done.notify_all();
    report(job, prefix, reported);
}

// One thread's share: the calling thread (the one with `reported`) takes
// the even blocks, the helper the odd ones. Until the helper has started,
// and once it has been told to stop, the calling thread takes each odd
// block before the even one after it; the helper then takes only the odd
// blocks the calling thread has passed. True when this thread rendered the
// last block (its walk is then the song's).
bool render_blocks(ParallelRender& job, Renderer& r, int32_t* reported)
{
    const bool calling = reported != nullptr;
    if (!calling)
        job.helperStarted.store(true, std::memory_order_relaxed);
    const auto helper_takes = [&job]() {
        return job.helperStarted.load(std::memory_order_relaxed) && !job.alone.load(std::memory_order_relaxed);
    };
    int32_t prefix = 0;
    int32_t last = -1;
    const auto render_if_taken = [&](int32_t b) {
        if (take(job, b)) {
            render_taken(job, r, b, prefix, reported);
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
        wait_for_blocks(job, job.blocks + 1, prefix, reported);   // all done
        report(job, prefix, reported);
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
    job.flags = std::make_unique<BlockFlags[]>(size_t(job.blocks));

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
    const bool helperLast = offered && !second_core_take_back() && helping.last;
    // No block reads what the last two kept aside; the song after this call may.
    store_kept(job, job.blocks - 2);
    store_kept(job, job.blocks - 1);
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
