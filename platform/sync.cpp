#include "platform/sync.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>

namespace platform {

namespace {

static_assert(sizeof(pthread_mutex_t) <= 64 && alignof(pthread_mutex_t) <= 16,
              "Mutex storage too small for the system's mutex");

pthread_mutex_t* Native(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }

timespec DeadlineAfter(int milliseconds) {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_sec += milliseconds / 1000;
    t.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    return t;
}

}  // namespace

Mutex::Mutex() { pthread_mutex_init(Native(native_), nullptr); }

Mutex::~Mutex() { pthread_mutex_destroy(Native(native_)); }

bool Mutex::Wait(int milliseconds) {
    pthread_mutex_t* m = Native(native_);
    int r;
    if (milliseconds < 0) {
        r = pthread_mutex_lock(m);
    } else {
        // The free mutex, the usual case, costs no clock reading.
        r = pthread_mutex_trylock(m);
        if (r == EBUSY && milliseconds > 0) {
            timespec deadline = DeadlineAfter(milliseconds);
            do {
                r = pthread_mutex_timedlock(m, &deadline);
            } while (r == EINTR);
        }
    }
    if (r != 0) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

bool Mutex::Release() {
    // A thread reads its own id here only when it stored it last.
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    return pthread_mutex_unlock(Native(native_)) == 0;
}

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
