// The helper thread behind second_core.h.
//
// One atomic state word carries the whole hand-over: the offering thread
// claims the idle helper (Idle -> Claimed), writes the task, then publishes
// it (Offered, release); the helper takes it (Offered -> Running, acquire)
// and ends it (Done, release), so the task's writes happen before
// second_core_take_back returns. The offering thread gives the helper back
// (Done -> Idle, or Offered -> Idle to take its task back), so no other
// thread can claim it in between. Waits spin with pause, then sleep on the
// word (futex).
#include "playback/second_core.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <pthread.h>
#include <csignal>
#include <sched.h>
#include <unistd.h>

namespace {

enum State : int32_t {
    Idle,       // no task: the helper spins, then sleeps
    Claimed,    // an offering thread is writing its task
    Offered,    // the task waits for the helper
    Running,    // the helper runs it
    Done,       // it has ended; the offering thread has not yet seen that
    Stopping,   // the program ends
};

// A core this thread may run on other than `avoid`, or -1.
int32_t other_core(int32_t avoid)
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return -1;
    for (int32_t cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (cpu != avoid && CPU_ISSET(cpu, &allowed))
            return cpu;
    return -1;
}

void pin(pthread_t thread, int32_t cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_setaffinity_np(thread, sizeof one, &one);
}

struct SecondCore {
    std::atomic<int32_t> state{Idle};
    SecondCoreTask task = nullptr;
    void* context = nullptr;
    std::thread thread;
    int32_t cpu = -1;   // the helper's core
    pid_t owner = 0;    // the process that started it
    // The offering thread's cores before its task, given back with the
    // helper, when it asked to stay on its core while the task is offered.
    bool offererHeld = false;
    cpu_set_t offererCores;
    // Whether the helper stays awake after the task: tasks come back to back
    // (this one came within KeepAwakeMicroseconds of the one before), or a
    // job was announced. Frames a display paces, 16 ms apart, let it sleep.
    std::chrono::steady_clock::time_point lastOffer;
    std::atomic<bool> stayAwake{true};
    std::atomic<bool> backToBackAwake{true};   // second_core_keep_awake

    void run()
    {
        for (;;) {
            // Awake for KeepAwakeMicroseconds after the last task, then asleep.
            auto since = std::chrono::steady_clock::now();
            const auto awake =
                std::chrono::microseconds(stayAwake.load(std::memory_order_relaxed) ? KeepAwakeMicroseconds : 0);
            int32_t seen;
            for (int32_t spin = 1; (seen = state.load(std::memory_order_acquire)) != Offered && seen != Stopping;
                 ++spin) {
                if (spin % 256 != 0) {
                    second_core_pause();
                } else if (std::chrono::steady_clock::now() - since > awake) {
                    state.wait(seen, std::memory_order_acquire);
                    since = std::chrono::steady_clock::now();
                } else {
                    // Awake, but not in the way of other work on this core
                    // (a capture's writer, the program reading its pipe).
                    sched_yield();
                }
            }
            if (seen == Stopping)
                return;
            if (seen == Offered && state.compare_exchange_strong(seen, Running, std::memory_order_acquire)) {
                if (task)
                    task(context);
                state.store(Done, std::memory_order_release);
                state.notify_all();
            }
        }
    }

    // At exit the helper stops once its task is done. A task that waits for
    // the thread now running the exit would never end: after a while the
    // helper is left to end with the process.
    ~SecondCore()
    {
        if (!thread.joinable())
            return;
        if (owner != getpid()) {   // a forked child: the thread is the parent's
            thread.detach();
            return;
        }
        const auto since = std::chrono::steady_clock::now();
        for (;;) {
            int32_t seen = state.load(std::memory_order_acquire);
            if ((seen == Idle || seen == Done) && state.compare_exchange_weak(seen, Stopping)) {
                state.notify_all();
                thread.join();
                return;
            }
            if (std::chrono::steady_clock::now() - since > std::chrono::milliseconds(100)) {
                thread.detach();
                return;
            }
            std::this_thread::yield();
        }
    }
};

SecondCore& second_core()
{
    static SecondCore one;
    return one;
}

// Claims the helper for the calling thread, starting it or moving it off
// this thread's core first. False when it cannot help.
bool claim(SecondCore& core, bool announced, bool holdCore)
{
    int32_t idle = Idle;
    if (!core.state.compare_exchange_strong(idle, Claimed, std::memory_order_acquire))
        return false;
    const int32_t here = sched_getcpu();
    if (!core.thread.joinable()) {
        core.cpu = other_core(here);
        if (core.cpu < 0) {
            core.state.store(Idle, std::memory_order_release);
            return false;
        }
        core.owner = getpid();
        core.thread = std::thread([&core] {
            // Signals are for the program's own threads (a tool polls for them
            // on its main thread, and a write the helper makes must not end
            // half done on a Ctrl+C meant for it).
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            core.run();
        });
        pin(core.thread.native_handle(), core.cpu);
    } else if (core.owner != getpid()) {
        // A forked child: the helper is the parent's thread, not ours.
        core.state.store(Idle, std::memory_order_release);
        return false;
    } else if (here == core.cpu) {
        // Both on one core would take turns: the helper moves.
        const int32_t other = other_core(here);
        if (other >= 0) {
            core.cpu = other;
            pin(core.thread.native_handle(), other);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    const bool backToBack = core.backToBackAwake.load(std::memory_order_relaxed) &&
                            now - core.lastOffer < std::chrono::microseconds(KeepAwakeMicroseconds);
    core.stayAwake.store(announced || backToBack, std::memory_order_relaxed);
    core.lastOffer = now;
    // The scheduler would move this thread onto the helper's busy core.
    core.offererHeld = holdCore && here >= 0 &&
        pthread_getaffinity_np(pthread_self(), sizeof core.offererCores, &core.offererCores) == 0;
    if (core.offererHeld)
        pin(pthread_self(), here);
    return true;
}

bool offer(SecondCoreTask task, void* context, bool announced, bool holdCore)
{
    SecondCore& core = second_core();
    if (!claim(core, announced, holdCore))
        return false;
    core.task = task;
    core.context = context;
    core.state.store(Offered, std::memory_order_release);
    core.state.notify_all();
    return true;
}

}   // namespace

bool second_core_offer(SecondCoreTask task, void* context, bool holdCore)
{
    return offer(task, context, false, holdCore);
}

bool second_core_take_back()
{
    SecondCore& core = second_core();
    if (core.offererHeld)
        pthread_setaffinity_np(pthread_self(), sizeof core.offererCores, &core.offererCores);
    int32_t offered = Offered;
    if (core.state.compare_exchange_strong(offered, Idle, std::memory_order_acquire))
        return true;
    for (int32_t spin = 0; (offered = core.state.load(std::memory_order_acquire)) != Done; ++spin) {
        if (spin < 4096)
            second_core_pause();
        else
            core.state.wait(offered, std::memory_order_acquire);
    }
    core.state.store(Idle, std::memory_order_release);
    return false;
}

void second_core_wake()
{
    if (offer(nullptr, nullptr, true, false))
        second_core_take_back();
}

void second_core_keep_awake(bool on)
{
    second_core().backToBackAwake.store(on, std::memory_order_relaxed);
}
