// What a running thread shares with its handles: kept by thread.cpp and the
// system's own file, seen by no one else.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/thread.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace platform {

#if defined(_WIN32)
using NativeThread = HANDLE;
#else
using NativeThread = pthread_t;
#endif

struct Thread::State {
    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    NativeThread handle{};
    std::atomic<bool> running{true};
    // Kept here rather than read from the system: a routine may itself
    // return 259, which some systems would report as still running.
    std::atomic<std::uint32_t> exitCode{kStillActive};
    std::mutex joinMutex;
    bool joined = false;

    ~State();
    // On the new thread: runs the routine and records how it ended.
    std::uint32_t Run();
};

// The system's part: start a thread that calls state.Run() and set
// state.handle (false when none could be made); wait until it has ended.
bool StartNativeThread(Thread::State& state);
void JoinNativeThread(Thread::State& state);

}  // namespace platform
