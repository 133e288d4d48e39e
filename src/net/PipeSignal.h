#pragma once

#include <signal.h>

// Holding SIGPIPE back on a thread that splices into sockets.
namespace harbolt {

// A splice into a socket whose peer is gone raises SIGPIPE: splice knows no MSG_NOSIGNAL. Unless
// the process ignores the signal, the thread blocks it from Set() on, and one that was
// raised meanwhile is taken before the former mask comes back.
class TPipeSignalBlock {
public:
    TPipeSignalBlock() {
        sigemptyset(&fPipeSignal);
        sigaddset(&fPipeSignal, SIGPIPE);
    }
    ~TPipeSignalBlock() {
        if (!fBlocked)
            return;
        sigset_t pending;
        if (!fWasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{};
            sigtimedwait(&fPipeSignal, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &fFormer, nullptr);
    }
    TPipeSignalBlock(const TPipeSignalBlock&) = delete;
    TPipeSignalBlock& operator=(const TPipeSignalBlock&) = delete;

    // Blocks the signal on this thread, once; nothing when the process ignores it.
    void Set() {
        if (fSet)
            return;
        fSet = true;
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            return;
        if (pthread_sigmask(SIG_BLOCK, &fPipeSignal, &fFormer) != 0)
            return;
        fBlocked = sigismember(&fFormer, SIGPIPE) == 0;
        sigset_t pending;
        fWasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }

private:
    sigset_t fPipeSignal;
    sigset_t fFormer{};
    bool fSet = false;
    bool fBlocked = false;
    bool fWasPending = false;
};

} // namespace harbolt
