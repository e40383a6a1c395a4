// The helper thread that draws the bottom part of a deferred frame's rows
// while the frame is still being recorded.
//
// The hand-over of a record is a mutex and two condition variables: the
// mutex orders the recording thread's state (target, clear) before the
// helper's start, and the helper's writes to the frame before
// r3d_parts_finish returns. During the record the primitives come through
// two atomic counts: `published` (release after a batch of primitives is
// complete, acquire before the helper reads them) and `total`, set once at
// the end. While the helper waits for a batch, the recording thread, on the
// other core, is making it: the helper spins briefly, then yields.
//
// The split row follows the work: after each record it moves towards the
// part that finished first, in proportion to the difference in their finish
// times, measured from the start of the record. Any split draws the same
// picture.
#include "render3d/row_halves.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#if defined(__SSE2__)
        _mm_pause();
#endif
    } else {
        std::this_thread::yield();
    }
}

// What a record is to the helper.
enum class Part {
    Idle,      // no record, or its bottom part already drawn
    Offered,   // the bottom part waits for the helper
    Taken,     // the helper is drawing it
};

struct Helper {
    std::mutex lock;
    std::condition_variable start;
    std::condition_variable finished;
    Part part = Part::Idle;
    int32_t split = RowSplit;       // the bottom part is split ... FrameHeight - 1
    double begun = 0;               // when the record began
    double helperFinish = 0;        // when the helper finished its part
    bool stop = false;
    std::atomic<int32_t> published{0};
    std::atomic<int32_t> total{-1};   // the record's primitives once it is done
    std::atomic<bool> quitting{false};
    std::thread thread;

    // The bottom part: its clear, then the primitives as they come.
    void draw_bottom(int32_t first) {
        r3d_part_clear(first, FrameHeight - 1);
        int32_t drawn = 0;
        int32_t spins = 0;
        for (;;) {
            const int32_t end = total.load(std::memory_order_acquire);
            const int32_t ready = end >= 0 ? end : published.load(std::memory_order_acquire);
            if (ready > drawn) {
                r3d_part_draw(drawn, ready, first, FrameHeight - 1);
                drawn = ready;
                spins = 0;
            } else if (end >= 0 || quitting.load(std::memory_order_relaxed)) {
                return;
            } else {
                wait_a_little(spins);
            }
        }
    }

    void run() {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            start.wait(held, [this] { return part == Part::Offered || stop; });
            if (stop) {
                return;
            }
            part = Part::Taken;
            const int32_t first = split;
            held.unlock();
            draw_bottom(first);
            const double finish = seconds_now();
            held.lock();
            helperFinish = finish;
            part = Part::Idle;
            finished.notify_one();
        }
    }

    ~Helper() {
        if (thread.joinable()) {
            quitting.store(true, std::memory_order_relaxed);
            {
                std::lock_guard<std::mutex> held(lock);
                stop = true;
            }
            start.notify_one();
            thread.join();
        }
    }
};

bool two_cores() {
    static const bool yes = std::thread::hardware_concurrency() >= 2;
    return yes;
}

Helper& helper() {
    static Helper one;
    return one;
}

// Primitives are handed over in batches: a primitive read by the other core
// while its cache line is still being written costs more than drawing it.
constexpr int32_t PublishBatch = 128;

// The recording thread's side of the current record: whether the helper was
// offered its bottom part.
bool Shared = false;

}  // namespace

void r3d_parts_begin() {
    if (!two_cores()) {
        return;
    }
    Helper& h = helper();
    if (Shared) {
        // A record begun and never finished (the context was reset under
        // it): its published part is drawn, so the helper is free again.
        r3d_parts_finish(h.published.load(std::memory_order_relaxed));
    }
    if (!h.thread.joinable()) {
        h.thread = std::thread([] { helper().run(); });
    }
    {
        std::lock_guard<std::mutex> held(h.lock);
        h.published.store(0, std::memory_order_relaxed);
        h.total.store(-1, std::memory_order_relaxed);
        h.begun = seconds_now();
        h.part = Part::Offered;
    }
    h.start.notify_one();
    Shared = true;
}

void r3d_parts_publish(int32_t count) {
    if (Shared && count % PublishBatch == 0) {
        helper().published.store(count, std::memory_order_release);
    }
}

void r3d_parts_finish(int32_t count) {
    if (!Shared) {
        r3d_part_clear(0, FrameHeight - 1);
        r3d_part_draw(0, count, 0, FrameHeight - 1);
        return;
    }
    Shared = false;
    Helper& h = helper();
    h.total.store(count, std::memory_order_release);
    int32_t split;
    {
        std::lock_guard<std::mutex> held(h.lock);
        split = h.split;
    }
    r3d_part_clear(0, split - 1);
    r3d_part_draw(0, count, 0, split - 1);
    const double callerFinish = seconds_now();
    std::unique_lock<std::mutex> held(h.lock);
    if (h.part == Part::Offered) {
        // The helper has not started (on a busy machine it may wait for a
        // core): the calling thread takes the bottom part back and draws it
        // after the top, which is the order of drawing all rows at once.
        h.part = Part::Idle;
        held.unlock();
        r3d_part_clear(split, FrameHeight - 1);
        r3d_part_draw(0, count, split, FrameHeight - 1);
        return;
    }
    h.finished.wait(held, [&h] { return h.part == Part::Idle; });
    h.split = balanced_split(split, callerFinish - h.begun, h.helperFinish - h.begun);
}
