// A fixed ring of voice frames, oldest first, each marked as received or
// made up. It holds what it is given and never decides what to drop: the
// play-out buffer does. Frames of any one type.
#pragma once

#include <array>
#include <cstddef>

#include "voice/frame.h"

template <class FrameT, int Capacity>
class CBasicFrameRing {
public:
    static constexpr int kCapacity = Capacity;

    int Count() const { return count_; }
    bool IsEmpty() const { return count_ == 0; }
    bool IsFull() const { return count_ == kCapacity; }

    // A new newest frame, to be filled in by the caller; the ring must not
    // be full.
    FrameT& PushBack(bool madeUp) {
        const std::size_t slot = Slot(count_);
        madeUp_[slot] = madeUp;
        ++count_;
        return frames_[slot];
    }
    // The oldest frame; the ring must not be empty.
    const FrameT& Front() const { return frames_[Slot(0)]; }
    bool FrontIsMadeUp() const { return madeUp_[Slot(0)]; }
    void DropOldest() {
        head_ = (head_ + 1) % kCapacity;
        --count_;
    }
    // Drops the oldest frames until at most frames are left.
    void KeepNewest(int frames) {
        while (count_ > frames && count_ > 0) DropOldest();
    }
    void Clear() {
        head_ = 0;
        count_ = 0;
    }

private:
    // Where the frame `back` places after the oldest sits.
    std::size_t Slot(int back) const { return static_cast<std::size_t>((head_ + back) % kCapacity); }

    std::array<FrameT, kCapacity> frames_{};
    std::array<bool, kCapacity> madeUp_{};
    int head_ = 0;
    int count_ = 0;
};

// About a second of the classic 16 ms frames.
using CFrameRing = CBasicFrameRing<voice::Frame, 64>;
