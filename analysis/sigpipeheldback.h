#pragma once

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

// Holds SIGPIPE back on this thread while it lives, and discards one that a
// write to a pipe without a reader raised meanwhile: such a write must fail,
// not end the process. Nests. (Windows has no such signal.)
class SigpipeHeldBack
{
public:
#ifndef _WIN32
    SigpipeHeldBack()
    {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        alreadyPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    }

    ~SigpipeHeldBack()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!alreadyPending && sigismember(&pending, SIGPIPE) == 1) {
            int discarded = 0;
            sigwait(&pipeSignal, &discarded); // returns at once: the signal is pending
        }
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    }
#else
    SigpipeHeldBack() = default;
    ~SigpipeHeldBack() = default;
#endif

    SigpipeHeldBack(const SigpipeHeldBack &) = delete;
    SigpipeHeldBack &operator=(const SigpipeHeldBack &) = delete;

#ifndef _WIN32
private:
    sigset_t pipeSignal {};
    sigset_t previousMask {};
    bool alreadyPending = false;
#endif
};
