#include "tools/common/signals.h"

#include <pthread.h>

namespace {

volatile std::sig_atomic_t EndSignal = 0;       // the signal that asked to end, or 0
volatile std::sig_atomic_t StopRequested = 0;   // SIGTSTP arrived: give the terminal back, then stop

void on_end(int signal)
{
    EndSignal = signal;
}

void on_stop(int)
{
    StopRequested = 1;
}

void on_wake(int) {}   // only ends a blocked call

constexpr int WritingEnds[] = {SIGINT, SIGTERM};
constexpr int PlayingEnds[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int JobControl[] = {SIGTSTP, SIGCONT, SIGWINCH};

void handle(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no SA_RESTART: a blocked call returns at once
    sigaction(signal, &action, nullptr);
}

}   // namespace

void signals_catch_for_writing()
{
    for (int signal : WritingEnds)
        handle(signal, on_end);
    handle(SIGPIPE, SIG_IGN);
    handle(SIGXFSZ, SIG_IGN);
}

void signals_catch_for_playing()
{
    for (int signal : PlayingEnds)
        handle(signal, on_end);
    handle(SIGTSTP, on_stop);
    handle(SIGCONT, on_wake);
    handle(SIGWINCH, on_wake);
}

int signals_ending()
{
    return EndSignal;
}

bool signals_stop_requested()
{
    return StopRequested != 0;
}

void signals_stop_now()
{
    StopRequested = 0;
    handle(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    handle(SIGTSTP, on_stop);
}

SignalsHeldOff::SignalsHeldOff()
{
    sigset_t held;
    sigemptyset(&held);
    for (int signal : PlayingEnds)
        sigaddset(&held, signal);
    for (int signal : JobControl)
        sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
}

SignalsHeldOff::~SignalsHeldOff()
{
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
