#include "analysis/failureline.h"

#include <iostream>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#define MORVASTEL_HAS_SIGPIPE 1
#endif

namespace {

#ifdef MORVASTEL_HAS_SIGPIPE
// Holds SIGPIPE back on this thread while it lives, and discards one that a
// write to a pipe without a reader raised meanwhile: such a write must fail,
// not end the process.
class SigpipeHeldBack
{
public:
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

    SigpipeHeldBack(const SigpipeHeldBack &) = delete;
    SigpipeHeldBack &operator=(const SigpipeHeldBack &) = delete;

private:
    sigset_t pipeSignal {};
    sigset_t previousMask {};
    bool alreadyPending = false;
};
#endif

} // namespace

void printFailureLine()
{
#ifdef MORVASTEL_HAS_SIGPIPE
    const SigpipeHeldBack heldBack;
#endif
    std::cout << "失敗" << std::endl;
    // A failed write leaves the stream failed; the next line should be tried.
    std::cout.clear();
}
