#include "voice/playout_buffer.h"

#include <algorithm>
#include <cstring>

#include "protocol/voice_codec.h"
#include "voice/sound_continuation.h"

namespace {

using protocol::kSilence;

}  // namespace

CPlayoutBuffer::CPlayoutBuffer() { history_.fill(kSilence); }

void CPlayoutBuffer::Reset() {
    ring_.Clear();
    gate_.Reset();
    addedSinceLead_ = 0;
    history_.fill(kSilence);
}

void CPlayoutBuffer::Add(const std::uint8_t* data, int bytes, Clock::time_point now) {
    ++stats_.added;
    if (gate_.NoteArrival(now, ring_.IsEmpty())) ++stats_.gaps;
    if (ring_.IsFull()) {
        ring_.DropOldest();
        ++stats_.overflowed;
    }
    Frame& f = ring_.PushBack(false);
    const int n = data ? std::clamp(bytes, 0, kFrameBytes) : 0;
    if (n > 0) std::memcpy(f.data(), data, static_cast<std::size_t>(n));
    std::fill(f.begin() + n, f.end(), kSilence);
    Remember(f);
    if (addedSinceLead_ < kCapacity) ++addedSinceLead_;
}

void CPlayoutBuffer::Remember(const Frame& frame) {
    std::copy(history_.begin() + kFrameBytes, history_.end(), history_.begin());
    std::copy(frame.begin(), frame.end(), history_.begin() + kFrameBytes);
}

void CPlayoutBuffer::Stretch() {
    Frame& f = ring_.PushBack(true);
    ContinueSound(history_.data(), static_cast<int>(history_.size()), f.data(), kFrameBytes);
    Remember(f);
    ++stats_.stretched;
}

void CPlayoutBuffer::NoteLead(Clock::time_point now, double deviceAheadMs) {
    const int added = std::min(addedSinceLead_, ring_.Count());
    addedSinceLead_ = 0;
    if (!gate_.IsPlaying() || added == 0) return;
    // The oldest of the new frames has the least time: the device's sound
    // and the frames that waited here before it.
    const double lead = deviceAheadMs + static_cast<double>(ring_.Count() - added) * kFrameMs;
    if (gate_.NoteLead(now, lead)) ++stats_.gaps;
    if (lead > 0 && lead < kSafetyMs && !ring_.IsFull()) {
        // It made its turn, but with less to spare than the margin: the
        // card is gaining on the frames. The frames after it get a frame's
        // length more.
        Stretch();
    }
}

void CPlayoutBuffer::DropWaiting(int frames) {
    for (int k = 0; k < frames; ++k) ring_.DropOldest();
    stats_.trimmed += frames;
}

bool CPlayoutBuffer::TakeFrame(Clock::time_point now, int deviceQueued, Frame* out, bool* madeUp) {
    if (ring_.IsEmpty()) {
        if (gate_.NoteEmpty(now, deviceQueued)) ++stats_.underruns;
        return false;
    }
    if (!gate_.MayPlay(now, ring_.Count())) return false;
    DropWaiting(gate_.CutBurst(ring_.Count(), deviceQueued));
    DropWaiting(gate_.TakeDrops(ring_.Count()));
    if (ring_.IsEmpty() || deviceQueued >= kDeviceLead) return false;
    const bool made = ring_.FrontIsMadeUp();
    if (out) *out = ring_.Front();
    if (madeUp) *madeUp = made;
    ring_.DropOldest();
    if (!made) ++stats_.played;
    return true;
}
