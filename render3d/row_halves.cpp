// The bottom part of a deferred frame's rows drawn on the second core
// (playback/second_core.h) while the frame is still being recorded.
//
// The record's state (target, clear, split) is written before the part is
// offered and the frame's pixels are complete when second_core_take_back
// returns: the second core's hand-over orders both. During the record the
// primitives come through two atomic counts: `published` (release after a
// batch of primitives is complete, acquire before the helper reads them)
// and `total`, set once at the end. While the helper waits for a batch, the
// recording thread, on the other core, is making it: the helper spins
// briefly, then yields.
//
// The split row follows the work: after each record it moves towards the
// part that finished first, in proportion to the difference in their finish
// times, measured from the start of the record. Any split draws the same
// picture.
#include "render3d/row_halves.h"

#include "playback/second_core.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Moves the split by the share of the rows that the difference in time is
// worth, at most a sixteenth of the frame per record; each part keeps at
// least a sixteenth.
int32_t balanced_split(int32_t split, double callerSeconds, double helperSeconds) {
    const double total = callerSeconds + helperSeconds;
    if (!(total > 0.0)) {
        return split;
    }
    constexpr int32_t Limit = FrameHeight / 16;
    const double rows = (helperSeconds - callerSeconds) / total * double(FrameHeight / 2);
    const int32_t move = int32_t(std::clamp(rows, double(-Limit), double(Limit)));
    return std::clamp(split + move, Limit, FrameHeight - Limit);
}

// A short wait for the recording thread: a pause in a spin, and after a
// while a yield so that a busy machine's other work can run.
void wait_a_little(int32_t& spins) {
    if (++spins < 2000) {
        second_core_pause();
    } else {
        std::this_thread::yield();
    }
}

struct Record {
    int32_t split = RowSplit;       // the bottom part is split ... FrameHeight - 1
    double begun = 0;               // when the record began
    double helperFinish = 0;        // when the helper finished its part
    std::atomic<int32_t> published{0};
    std::atomic<int32_t> total{-1};   // the record's primitives once it is done
};

Record Current;

// The bottom part, on the second core: its clear, then the primitives as
// they come.
void draw_bottom(void*) {
    const int32_t first = Current.split;
    r3d_part_clear(first, FrameHeight - 1);
    int32_t drawn = 0;
    int32_t spins = 0;
    for (;;) {
        const int32_t end = Current.total.load(std::memory_order_acquire);
        const int32_t ready = end >= 0 ? end : Current.published.load(std::memory_order_acquire);
        if (ready > drawn) {
            r3d_part_draw(drawn, ready, first, FrameHeight - 1);
            drawn = ready;
            spins = 0;
        } else if (end >= 0) {
            break;
        } else {
            wait_a_little(spins);
        }
    }
    Current.helperFinish = seconds_now();
}

// Primitives are handed over in batches: a primitive read by the other core
// while its cache line is still being written costs more than drawing it.
constexpr int32_t PublishBatch = 128;

// The recording thread's side of the current record: whether the helper was
// offered its bottom part.
bool Shared = false;

}  // namespace

void r3d_parts_begin() {
    if (Shared) {
        // A record begun and never finished (the context was reset under
        // it): its published part is drawn, so the helper is free again.
        r3d_parts_finish(Current.published.load(std::memory_order_relaxed));
    }
    Current.published.store(0, std::memory_order_relaxed);
    Current.total.store(-1, std::memory_order_relaxed);
    Current.begun = seconds_now();
    // A frame is short, and a capture's writer thread and the program reading
    // its pipe need a core beside it: the recording thread stays free to move
    // (held on its core, the whole show as Y4M into a pipe took 6% longer).
    Shared = second_core_offer(draw_bottom, nullptr, false);
}

void r3d_parts_publish(int32_t count) {
    if (Shared && count % PublishBatch == 0) {
        Current.published.store(count, std::memory_order_release);
    }
}

void r3d_parts_finish(int32_t count) {
    if (!Shared) {
        r3d_part_clear(0, FrameHeight - 1);
        r3d_part_draw(0, count, 0, FrameHeight - 1);
        return;
    }
    Shared = false;
    Current.total.store(count, std::memory_order_release);
    const int32_t split = Current.split;
    r3d_part_clear(0, split - 1);
    r3d_part_draw(0, count, 0, split - 1);
    const double callerFinish = seconds_now();
    if (second_core_take_back()) {
        // The helper has not started (it was asleep, or on a busy machine
        // it waits for a core): the calling thread draws the bottom part
        // after the top, which is the order of drawing all rows at once.
        r3d_part_clear(split, FrameHeight - 1);
        r3d_part_draw(0, count, split, FrameHeight - 1);
        return;
    }
    Current.split = balanced_split(split, callerFinish - Current.begun, Current.helperFinish - Current.begun);
}
