// The second core: one helper thread, shared by the subsystems that split a
// job in two (the two-thread song render, the two row parts of a frame),
// which runs one task at a time beside the thread that offered it.
//
// Why a thread of our own, placed and kept awake: the machines this runs on
// (virtual machines that pack threads onto few cores) start a new or woken
// thread on its waker's core, and a thread sent to an idle core may wait a
// whole scheduler tick, about 4 ms, before it runs there. A frame takes a
// fifth of a millisecond and the whole song five. So the helper is pinned
// to a core other than the offering thread's, and after a task that came
// within KeepAwakeMicroseconds of the one before (a capture's frames, the
// blocks a render writes) it stays awake that long, spinning with pause and
// yielding its core to any other thread that wants it, before it sleeps;
// frames a display paces, 16 ms apart, let it sleep at once. A task that
// finds it asleep may start late, so every task must be safe to take back
// (second_core_take_back) and do alone.
//
// Order of calls, from one thread: second_core_offer(task, context), then
// that thread's own share of the job, then second_core_take_back() once;
// it returns only when the task has ended or will never run. A task runs
// at most once, on the helper, and must not offer a task itself. While one
// thread's task is offered, another thread's offer is refused (it does the
// whole job itself). second_core_wake() offers nothing but starts the helper
// and keeps it awake, for a job known to come within a few milliseconds.
//
// Native builds only: the browser build has no threads.
#pragma once

#include <cstdint>

inline constexpr int32_t KeepAwakeMicroseconds = 3000;

using SecondCoreTask = void (*)(void* context);

// True when the task was handed to the helper, which will start it as soon
// as it runs; false when there is no second core to run it (one allowed
// core, a process forked from the one that started the helper) or another
// thread's task has it. holdCore keeps the offering thread on its core until
// second_core_take_back, for a job that keeps both cores busy for
// milliseconds: the scheduler would otherwise move it onto the helper's
// core. A short task beside other busy threads (a capture's frame beside
// its writer and the program reading its pipe) leaves it free.
bool second_core_offer(SecondCoreTask task, void* context, bool holdCore = true);

// One step of a wait that spins on memory the other core writes: the
// processor's pause, which frees the core's resources for a moment and
// keeps the loop from flooding the memory system.
inline void second_core_pause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The offered task is either taken back before it began (true: it will
// never run) or has ended when this returns (false).
bool second_core_take_back();

// Starts the helper if there is a second core, and keeps it awake.
void second_core_wake();

// Whether the helper stays awake after tasks that come back to back (on
// from the start). A program whose other threads fill both cores between
// its tasks turns it off: a capture writing its frames, whose writer and
// the program reading its pipe would lose to the helper's spinning the time
// it saves (the whole show as Y4M into a pipe took 10% longer with it), and
// a busy core starts a woken thread at once. A job announced by
// second_core_wake still keeps it awake.
void second_core_keep_awake(bool on);
