// The signals the command-line tools answer, in one place: one flag that
// records which signal asked the tool to end. The tool polls it with
// signals_ending() in its work loop and leaves through its normal way out:
// the writers through their failure path, which takes their outputs back
// (exit 1), play after giving the terminal back (exit 128 + the number).
//
// Install one set, once, before the work starts:
//   - signals_catch_for_writing() (render, look, capture): SIGINT and SIGTERM
//     set the flag; SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or
//     a file size limit shows up as a write error instead of killing the
//     process with its temporary files on disk.
//   - signals_catch_for_playing() (play): SIGINT, SIGTERM, SIGHUP and SIGQUIT
//     set the flag; SIGTSTP (Ctrl+Z) only asks for a stop
//     (signals_stop_requested), which the tool carries out with
//     signals_stop_now() once it has given the terminal back; SIGCONT and
//     SIGWINCH only wake a blocked poll, so that the tool looks at the
//     terminal again.
// No handler restarts system calls: a blocked open, write or poll returns at
// once (opening a FIFO that nobody reads ends on Ctrl+C).
//
// Threads started while a SignalsHeldOff lives (an audio thread, a render
// worker) keep play's signals blocked, so that every one reaches the main
// thread and ends its poll at once.
#pragma once

#include <csignal>

void signals_catch_for_writing();
void signals_catch_for_playing();

// 0, or the number of the signal that asked the tool to end.
int signals_ending();

// True once SIGTSTP arrived and no stop has been made for it yet.
bool signals_stop_requested();
// Stops the process as SIGTSTP would have; returns after SIGCONT, with the
// next SIGTSTP caught again.
void signals_stop_now();

struct SignalsHeldOff {
    sigset_t previous;
    SignalsHeldOff();
    ~SignalsHeldOff();
    SignalsHeldOff(const SignalsHeldOff&) = delete;
    SignalsHeldOff& operator=(const SignalsHeldOff&) = delete;
};
