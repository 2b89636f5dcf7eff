// A fixed-size first-in-first-out ring of copies, guarded by one mutex. It
// never waits for room or for data: a full queue drops what is posted.
#pragma once

#include <vector>

#include "platform/sync.h"

template <typename T>
class Queue {
public:
    // A queue of capacity slots holds at most capacity - 1 elements.
    explicit Queue(int capacity)
        : slots_(static_cast<size_t>(capacity > 1 ? capacity : 2)), capacity_(static_cast<int>(slots_.size())) {}
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // Stores a copy at the back; on a full queue stores nothing.
    void Post(const T& element) {
        platform::MutexLock lock(mutex_, "Queue Post Error", kWaitMs);
        if (Next(writeIndex_) != readIndex_) {
            slots_[writeIndex_] = element;
            writeIndex_ = Next(writeIndex_);
        }
    }

    // Copies the oldest element into the caller's and removes it. False, and
    // the caller's element unchanged, when the queue is empty. The copy lets
    // both the slot and the caller keep the storage they already have.
    bool Pop(T& element) {
        platform::MutexLock lock(mutex_, "Queue Pop Error", kWaitMs);
        if (readIndex_ == writeIndex_) return false;
        element = slots_[readIndex_];
        readIndex_ = Next(readIndex_);
        return true;
    }

    // Copies up to n of the oldest elements into the first of the caller's,
    // growing them as needed, and removes them; how many, under one lock.
    int PopMany(std::vector<T>& elements, int n) {
        if (n > 0 && elements.size() < static_cast<size_t>(n)) elements.resize(static_cast<size_t>(n));
        platform::MutexLock lock(mutex_, "Queue Pop Error", kWaitMs);
        int took = 0;
        for (; took < n && readIndex_ != writeIndex_; ++took) {
            elements[static_cast<size_t>(took)] = slots_[readIndex_];
            readIndex_ = Next(readIndex_);
        }
        return took;
    }

    int GetSize() {
        platform::MutexLock lock(mutex_, "Queue GetSize Error", kWaitMs);
        return Count();
    }

    // Empties the queue; slots keep their old copies until assigned over.
    void Reset() {
        platform::MutexLock lock(mutex_, "Queue Reset Error", kResetWaitMs);
        readIndex_ = writeIndex_ = 0;
    }

    int Capacity() const { return capacity_; }

private:
    static constexpr int kWaitMs = 1000;
    static constexpr int kResetWaitMs = 10000;

    unsigned Next(unsigned index) const { return index + 1 == static_cast<unsigned>(capacity_) ? 0 : index + 1; }
    int Count() const {
        int n = static_cast<int>(writeIndex_) - static_cast<int>(readIndex_);
        return n < 0 ? n + capacity_ : n;
    }

    platform::Mutex mutex_;
    std::vector<T> slots_;
    int capacity_;
    unsigned readIndex_ = 0;
    unsigned writeIndex_ = 0;
};
