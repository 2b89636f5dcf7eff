#include "platform/sync.h"

#include <chrono>

namespace platform {

Semaphore::Semaphore(int initialCount, int maximumCount) : count_(initialCount), maximum_(maximumCount) {}

bool Semaphore::TryTake() {
    int c = count_.load();
    while (c > 0) {
        if (count_.compare_exchange_weak(c, c - 1)) return true;
    }
    return false;
}

int Semaphore::TakeUpTo(int most) {
    int c = count_.load();
    while (c > 0 && most > 0) {
        int take = c < most ? c : most;
        if (count_.compare_exchange_weak(c, c - take)) return take;
    }
    return 0;
}

bool Semaphore::Wait(int milliseconds) {
    if (TryTake()) return true;
    if (milliseconds == 0) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    // Counted before looking at the units again: a release either leaves a
    // unit this thread sees or sees this thread and wakes it (both in the
    // one order of sequentially consistent operations).
    sleepers_.fetch_add(1);
    auto ready = [this] { return TryTake(); };
    bool took = true;
    if (milliseconds < 0) {
        available_.wait(lock, ready);
    } else {
        took = available_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    }
    sleepers_.fetch_sub(1);
    return took;
}

bool Semaphore::Release(int count) {
    if (count <= 0) return false;
    int c = count_.load();
    do {
        if (c > maximum_.load(std::memory_order_relaxed) - count) return false;
    } while (!count_.compare_exchange_weak(c, c + count));
    if (sleepers_.load() > 0) {
        // Taking the lock first means a sleeper that counted itself is
        // already waiting on the condition, so the wake is not lost.
        { std::lock_guard<std::mutex> lock(mutex_); }
        if (count == 1) {
            available_.notify_one();
        } else {
            available_.notify_all();
        }
    }
    return true;
}

void Semaphore::Renew(int initialCount, int maximumCount) {
    std::lock_guard<std::mutex> lock(mutex_);
    maximum_.store(maximumCount);
    count_.store(initialCount);
}

int Semaphore::Count() const { return count_.load(); }

}  // namespace platform
