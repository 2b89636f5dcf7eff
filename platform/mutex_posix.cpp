#include "platform/sync.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>

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

}  // namespace platform
