#include "Signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<bool> SignalCame{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int SignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
    const int Saved = errno;
    SignalCame.store(true);
    const char Byte = 1;
    if (write(SignalPipe[1], &Byte, 1) < 0) {
        // The pipe is full: a wake-up is pending already.
    }
    errno = Saved;
}

} // namespace

bool InstallSignalHandlers() {
    if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction Action {};
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (const int Signal : {SIGINT, SIGTERM}) {
        // A signal ignored from the start (a background job of a script, nohup) stays ignored.
        struct sigaction Old {};
        if (sigaction(Signal, nullptr, &Old) != 0)
            return false;
        if (Old.sa_handler != SIG_IGN && sigaction(Signal, &Action, nullptr) != 0)
            return false;
    }
    return true;
}

bool Signalled() { return SignalCame.load(); }

int SignalFd() { return SignalPipe[0]; }

void DrainSignalFd() {
    char Buffer[64];
    while (read(SignalPipe[0], Buffer, sizeof Buffer) > 0) {
    }
}
