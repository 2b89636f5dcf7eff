#include "platform/console.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/console_input.h"

namespace platform {
namespace {

// Written from a signal handler: a pipe is the async-signal-safe way to wake
// the waiting thread.
int stopPipe[2] = {-1, -1};

// The stop signals are blocked in every thread and taken only while the
// waiting thread sits in ppoll, with the mask the process had before. Left
// to the kernel, a signal goes to any thread, and one busy in a long call
// (or a runtime that defers signals until that thread's next call) would
// leave the stop request unseen.
sigset_t waitMask;
bool masked = false;

void OnStopSignal(int) {
    char c = 's';
    if (stopPipe[1] >= 0) {
        ssize_t ignored = ::write(stopPipe[1], &c, 1);
        (void)ignored;
    }
}

void EnsurePipe() {
    if (stopPipe[0] >= 0) return;
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        stopPipe[0] = stopPipe[1] = -1;
    }
}

}  // namespace

bool ReadInputByte(char* c) {
    for (;;) {
        ssize_t r = ::read(STDIN_FILENO, c, 1);
        if (r < 0 && errno == EINTR) continue;
        return r == 1;
    }
}

void InstallStopSignals() {
    EnsurePipe();
    struct sigaction sa{};
    sa.sa_handler = &OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    masked = ::pthread_sigmask(SIG_BLOCK, &stopSignals, &waitMask) == 0;
    // Writing to a connection the peer has closed must not end the process.
    ::signal(SIGPIPE, SIG_IGN);
}

void WaitForStopRequest() {
    EnsurePipe();
    bool consoleOpen = true;
    for (;;) {
        pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int n = ::ppoll(fds, consoleOpen ? 2 : 1, nullptr, masked ? &waitMask : nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents & POLLIN) return;
        if (consoleOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
            char c;
            ssize_t r = ::read(STDIN_FILENO, &c, 1);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                consoleOpen = false;  // end of input: keep serving until a signal
                continue;
            }
            if (c == '\n') return;
        }
    }
}

}  // namespace platform
