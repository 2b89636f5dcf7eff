#include "platform/sync.h"

#include <chrono>

namespace platform {

bool Mutex::Wait(int milliseconds) {
    std::unique_lock<std::mutex> lock(state_);
    auto free = [this] { return !locked_; };
    if (milliseconds < 0) {
        released_.wait(lock, free);
    } else if (!released_.wait_for(lock, std::chrono::milliseconds(milliseconds), free)) {
        return false;
    }
    locked_ = true;
    owner_ = std::this_thread::get_id();
    return true;
}

bool Mutex::Release() {
    {
        std::lock_guard<std::mutex> lock(state_);
        if (!locked_ || owner_ != std::this_thread::get_id()) return false;
        locked_ = false;
        owner_ = std::thread::id();
    }
    released_.notify_one();
    return true;
}

Semaphore::Semaphore(int initialCount, int maximumCount)
    : count_(initialCount), maximum_(maximumCount) {}

bool Semaphore::Wait(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return count_ > 0; };
    if (milliseconds < 0) {
        available_.wait(lock, ready);
    } else if (!available_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return false;
    }
    --count_;
    return true;
}

bool Semaphore::Release(int count) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count <= 0 || count_ > maximum_ - count) return false;
        count_ += count;
    }
    if (count == 1) {
        available_.notify_one();
    } else {
        available_.notify_all();
    }
    return true;
}

void Semaphore::Renew(int initialCount, int maximumCount) {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = initialCount;
    maximum_ = maximumCount;
}

int Semaphore::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

}  // namespace platform
