// The helper thread that draws the bottom part of a deferred frame's rows.
// The hand-over is a mutex and two condition variables: the mutex orders the
// helper's writes to the frame before the caller's return (and the caller's
// recording before the helper's start), so the threads never share a row.
//
// A bottom part the helper has not begun when the caller finishes the top is
// taken back and drawn by the caller, so a machine whose other core is busy
// costs little more than drawing on one thread.
//
// The split row follows the work: the show's bottom half often carries half
// as much again as the top (measured over the whole show: 2.5 s against
// 1.6 s at the middle row), so after each shared call the split moves towards
// the part that finished first, in proportion to the difference. Any split
// draws the same picture.
#include "render3d/row_halves.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Moves the split by the share of the rows that the difference in time is
// worth, at most a sixteenth of the frame per call; each part keeps at least
// a sixteenth.
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

struct Helper {
    std::mutex lock;
    std::condition_variable start;
    std::condition_variable finished;
    void (*work)(int32_t, int32_t) = nullptr;   // set while the bottom part waits for a thread
    bool busy = false;                          // the helper is drawing the bottom part
    int32_t split = RowSplit;                   // the bottom part is split ... FrameHeight - 1
    double helperSeconds = 0;                   // the helper's time on its last part
    bool stop = false;
    std::thread thread;

    void run() {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            start.wait(held, [this] { return work != nullptr || stop; });
            if (stop) {
                return;
            }
            void (*const job)(int32_t, int32_t) = work;
            const int32_t first = split;
            work = nullptr;
            busy = true;
            held.unlock();
            const double started = seconds_now();
            job(first, FrameHeight - 1);
            const double took = seconds_now() - started;
            held.lock();
            helperSeconds = took;
            busy = false;
            finished.notify_one();
        }
    }

    ~Helper() {
        if (thread.joinable()) {
            {
                std::lock_guard<std::mutex> held(lock);
                stop = true;
            }
            start.notify_one();
            thread.join();
        }
    }
};

}  // namespace

void r3d_run_row_halves(void (*work)(int32_t firstRow, int32_t lastRow)) {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    if (!twoCores) {
        work(0, FrameHeight - 1);
        return;
    }
    static Helper helper;
    if (!helper.thread.joinable()) {
        helper.thread = std::thread([] { helper.run(); });
    }
    int32_t split;
    {
        std::lock_guard<std::mutex> held(helper.lock);
        helper.work = work;
        split = helper.split;
    }
    helper.start.notify_one();
    const double started = seconds_now();
    work(0, split - 1);
    const double took = seconds_now() - started;
    std::unique_lock<std::mutex> held(helper.lock);
    if (helper.work != nullptr) {
        // The helper has not started (on a busy machine it may wait for a
        // core): the calling thread takes the bottom part back and draws it
        // after the top, which is the order of drawing all rows at once.
        helper.work = nullptr;
        held.unlock();
        work(split, FrameHeight - 1);
        return;
    }
    helper.finished.wait(held, [] { return !helper.busy; });
    helper.split = balanced_split(split, took, helper.helperSeconds);
}
