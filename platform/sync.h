// Mutex and counting semaphore with the waits the threads rely on: a bounded
// or unbounded wait that reports whether the object was obtained, and a
// release that reports failure.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

constexpr int kWaitForever = -1;

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // True when the mutex was obtained within the time (kWaitForever: no limit).
    bool Wait(int milliseconds);
    // False when the calling thread does not hold the mutex.
    bool Release();

private:
    // Built on a plain mutex and a condition: the timed lock of the standard
    // library is invisible to the thread sanitizer on this toolchain.
    std::mutex state_;
    std::condition_variable released_;
    bool locked_ = false;
    // Who holds the mutex, so that a release by anyone else fails.
    std::thread::id owner_{};
};

class Semaphore {
public:
    Semaphore(int initialCount, int maximumCount);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // True when a unit was taken within the time (kWaitForever: no limit).
    bool Wait(int milliseconds);
    // Adds count units; false, and nothing added, when that would pass the maximum.
    bool Release(int count = 1);
    // Sets a fresh count and maximum, as a new semaphore would have.
    void Renew(int initialCount, int maximumCount);
    int Count() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable available_;
    int count_;
    int maximum_;
};

}  // namespace platform
