// A fixed-size first-in-first-out ring of copies, guarded by one mutex. It
// never waits for room or for data: a full queue drops what is posted.
#pragma once

#include <vector>

#include "platform/message_box.h"
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
        Lock(kWaitMs, "Queue Post Error");
        if (Next(writeIndex_) != readIndex_) {
            slots_[writeIndex_] = element;
            writeIndex_ = Next(writeIndex_);
        }
        Unlock("Queue Post Error");
    }

    // Copies the oldest element into the caller's and removes it. False, and
    // the caller's element unchanged, when the queue is empty. The copy lets
    // both the slot and the caller keep the storage they already have.
    bool Pop(T& element) {
        Lock(kWaitMs, "Queue Pop Error");
        bool took = readIndex_ != writeIndex_;
        if (took) {
            element = slots_[readIndex_];
            readIndex_ = Next(readIndex_);
        }
        Unlock("Queue Pop Error");
        return took;
    }

    // Copies up to n of the oldest elements into the first of the caller's,
    // growing them as needed, and removes them; how many, under one lock.
    int PopMany(std::vector<T>& elements, int n) {
        if (n > 0 && elements.size() < static_cast<size_t>(n)) elements.resize(static_cast<size_t>(n));
        Lock(kWaitMs, "Queue Pop Error");
        int took = 0;
        for (; took < n && readIndex_ != writeIndex_; ++took) {
            elements[static_cast<size_t>(took)] = slots_[readIndex_];
            readIndex_ = Next(readIndex_);
        }
        Unlock("Queue Pop Error");
        return took;
    }

    int GetSize() {
        Lock(kWaitMs, "Queue GetSize Error");
        int size = Count();
        Unlock("Queue GetSize Error");
        return size;
    }

    // Empties the queue; slots keep their old copies until assigned over.
    void Reset() {
        Lock(kResetWaitMs, "Queue Reset Error");
        readIndex_ = writeIndex_ = 0;
        Unlock("Queue Reset Error");
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
    void Lock(int ms, const char* error) {
        if (!mutex_.Wait(ms)) platform::Fatal(error);
    }
    void Unlock(const char* error) {
        if (!mutex_.Release()) platform::Fatal(error);
    }

    platform::Mutex mutex_;
    std::vector<T> slots_;
    int capacity_;
    unsigned readIndex_ = 0;
    unsigned writeIndex_ = 0;
};
