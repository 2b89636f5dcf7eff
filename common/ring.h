// A first-in-first-out ring that grows when it is full and never shrinks, so
// that a queue which has once reached its working size no longer allocates.
// Not synchronised: its owner guards it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

template <typename T>
class Ring {
public:
    bool Empty() const { return count_ == 0; }
    std::size_t Size() const { return count_; }

    void PushBack(T element) {
        if (count_ == slots_.size()) Grow();
        slots_[(head_ + count_) & (slots_.size() - 1)] = std::move(element);
        ++count_;
    }

    T& Front() { return slots_[head_]; }

    // Moves the oldest element out; its slot keeps a moved-from element.
    T PopFront() {
        T element = std::move(slots_[head_]);
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
        return element;
    }

    void Clear() {
        while (count_ > 0) PopFront();
        head_ = 0;
    }

private:
    void Grow() {
        std::vector<T> larger(slots_.empty() ? 16 : slots_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) larger[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
        slots_ = std::move(larger);
        head_ = 0;
    }

    // A power of two in size, so that wrapping is a mask.
    std::vector<T> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};
