#include "voice/playout_buffer.h"

#include <algorithm>
#include <cstring>

#include "protocol/voice_codec.h"
#include "voice/sound_continuation.h"

namespace {

using protocol::kSilence;

double Ms(CPlayoutBuffer::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

CPlayoutBuffer::CPlayoutBuffer() { history_.fill(kSilence); }

void CPlayoutBuffer::Reset() {
    ring_.Clear();
    jitter_.Reset();
    trimmer_.Reset();
    playing_ = false;
    ranDry_ = false;
    emptying_ = false;
    addedSinceLead_ = 0;
    history_.fill(kSilence);
}

void CPlayoutBuffer::Add(const std::uint8_t* data, int bytes, Clock::time_point now) {
    ++stats_.added;
    jitter_.NoteArrival(now);
    if (ring_.IsFull()) {
        ring_.DropOldest();
        ++stats_.overflowed;
    }
    if (ring_.IsEmpty() && !playing_) {
        firstWaiting_ = now;
        if (ranDry_ && Ms(now - ranDryAt_) < kGapMs) {
            ++stats_.gaps;
            trimmer_.NoteGap(now);
        }
        ranDry_ = false;
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
    if (!playing_ || added == 0) return;
    // The oldest of the new frames has the least time: the device's sound
    // and the frames that waited here before it.
    const double lead = deviceAheadMs + static_cast<double>(ring_.Count() - added) * kFrameMs;
    if (trimmer_.NoteLead(now, lead, jitter_.StartDelayMs(), jitter_.HasWindow())) ++stats_.gaps;
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
        // The device's last block may still be sounding for up to a block
        // after it left the queue: only then has playback run dry.
        if (playing_ && deviceQueued == 0) {
            if (!emptying_) {
                emptying_ = true;
                emptySince_ = now;
            } else if (Ms(now - emptySince_) >= kFrameMs) {
                playing_ = false;
                emptying_ = false;
                trimmer_.StopPlaying();
                ++stats_.underruns;
                ranDry_ = true;
                ranDryAt_ = now;
            }
        }
        return false;
    }
    emptying_ = false;
    const int wait = StartDelayMs();
    if (!playing_) {
        // Wait until the first frame has waited long enough for the later
        // ones to arrive in time, or until they are all here.
        const bool waited = Ms(now - firstWaiting_) >= wait;
        const bool enough = ring_.Count() * kFrameMs > wait;
        if (!waited && !enough) return false;
        playing_ = true;
        trimmer_.StartPlaying();
    }
    // A burst beyond the bound (the frames held up by a stall) is cut at
    // once; what is left is trimmed by the leads.
    const int bound = (wait + kFrameMs - 1) / kFrameMs + kDeviceLead + kBoundSlack;
    const int over = ring_.Count() + deviceQueued - bound;
    if (over > 0) {
        trimmer_.CancelDrops();
        DropWaiting(std::min(over, ring_.Count()));
    }
    DropWaiting(trimmer_.TakeDrops(ring_.Count()));
    if (ring_.IsEmpty() || deviceQueued >= kDeviceLead) return false;
    const bool made = ring_.FrontIsMadeUp();
    if (out) *out = ring_.Front();
    if (madeUp) *madeUp = made;
    ring_.DropOldest();
    if (!made) ++stats_.played;
    return true;
}
