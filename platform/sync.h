// Mutex and counting semaphore with the waits the threads rely on: a bounded
// or unbounded wait that reports whether the object was obtained, and a
// release that reports failure.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/message_box.h"

namespace platform {

constexpr int kWaitForever = -1;

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // True when the mutex was obtained within the time (kWaitForever: no limit).
    bool Wait(int milliseconds);
    // False when the calling thread does not hold the mutex.
    bool Release();

private:
    // The system's mutex, kept opaque so that its header stays out of here.
    // Its timed lock is the one the thread sanitizer sees; the standard
    // library's timed mutex goes through a call it misses on this toolchain.
    alignas(16) unsigned char native_[64];
    // Who holds the mutex, so that a release by anyone else fails without
    // touching the system's mutex. Only the holder stores its own id here.
    std::atomic<std::thread::id> owner_{};
};

// Holds a Mutex for the life of a scope. A wait that does not obtain it, or a
// release that fails, ends the program with the owner's error text: a broken
// mutex leaves nothing safe to go on with.
class MutexLock {
public:
    MutexLock(Mutex& mutex, const char* error, int milliseconds = kWaitForever) : mutex_(mutex), error_(error) {
        if (!mutex_.Wait(milliseconds)) Fatal(error_);
    }
    ~MutexLock() {
        if (!mutex_.Release()) Fatal(error_);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
    const char* error_;
};

class Semaphore {
public:
    Semaphore(int initialCount, int maximumCount);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // True when a unit was taken within the time (kWaitForever: no limit).
    bool Wait(int milliseconds);
    // Takes up to most units that are there now, without waiting; how many.
    int TakeUpTo(int most);
    // Adds count units; false, and nothing added, when that would pass the maximum.
    bool Release(int count = 1);
    // Sets a fresh count and maximum, as a new semaphore would have.
    void Renew(int initialCount, int maximumCount);
    int Count() const;

private:
    bool TryTake();

    // Units are taken and added without a lock; the lock and the condition
    // are only for threads that have to sleep, and a release wakes someone
    // only while a thread is counted as sleeping.
    std::atomic<int> count_;
    std::atomic<int> maximum_;
    std::atomic<int> sleepers_{0};
    std::mutex mutex_;
    std::condition_variable available_;
};

}  // namespace platform
