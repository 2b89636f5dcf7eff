#include "client/playout_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "client/sound_continuation.h"
#include "client/wave_device.h"
#include "protocol/voice_codec.h"

namespace {

using protocol::kSilence;

double Ms(CPlayoutBuffer::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

CPlayoutBuffer::CPlayoutBuffer() { history_.fill(kSilence); }

void CPlayoutBuffer::Reset() {
    head_ = 0;
    count_ = 0;
    playing_ = false;
    paced_ = false;
    paceFrames_ = 0;
    measured_ = 0;
    measureNext_ = 0;
    trimWindowOpen_ = false;
    addedSinceFeed_ = 0;
    ranDry_ = false;
    emptying_ = false;
    gapPenalty_ = 0;
    lastSurplus_ = 0;
    pendingDrop_ = 0;
    addedSinceLead_ = 0;
    history_.fill(kSilence);
}

void CPlayoutBuffer::DropOldest() {
    head_ = (head_ + 1) % kCapacity;
    --count_;
}

void CPlayoutBuffer::Add(const std::uint8_t* data, int bytes, Clock::time_point now) {
    ++stats_.added;
    if (!passThrough_) MeasureArrival(now);
    if (count_ == kCapacity) {
        DropOldest();
        ++stats_.overflowed;
    }
    if (count_ == 0 && !playing_) {
        firstWaiting_ = now;
        if (ranDry_ && Ms(now - ranDryAt_) < kGapMs) {
            ++stats_.gaps;
            gapPenalty_ = std::min(gapPenalty_ + 1, kMaxGapPenalty);
            lastGap_ = now;
        }
        ranDry_ = false;
    }
    const std::size_t slot = TailSlot();
    Frame& f = frames_[slot];
    madeUp_[slot] = false;
    const int n = data ? std::clamp(bytes, 0, kFrameBytes) : 0;
    if (n > 0) std::memcpy(f.data(), data, static_cast<std::size_t>(n));
    std::fill(f.begin() + n, f.end(), kSilence);
    ++count_;
    Remember(f);
    if (addedSinceFeed_ < kCapacity) ++addedSinceFeed_;
    if (addedSinceLead_ < kCapacity) ++addedSinceLead_;
}

void CPlayoutBuffer::Remember(const Frame& frame) {
    std::copy(history_.begin() + kFrameBytes, history_.end(), history_.begin());
    std::copy(frame.begin(), frame.end(), history_.begin() + kFrameBytes);
}

void CPlayoutBuffer::Stretch() {
    const std::size_t slot = TailSlot();
    Frame& f = frames_[slot];
    madeUp_[slot] = true;
    ContinueSound(history_.data(), static_cast<int>(history_.size()), f.data(), kFrameBytes);
    ++count_;
    Remember(f);
    ++stats_.stretched;
}

// Lateness of a frame: how far it arrived behind the earliest frame of the
// last window, the frames being due one every 16 ms. A pause in the talk
// longer than the trim window starts the pace afresh.
void CPlayoutBuffer::MeasureArrival(Clock::time_point now) {
    if (!paced_ || Ms(now - lastArrival_) > kTrimWindowMs) {
        paced_ = true;
        paceStart_ = now;
        paceFrames_ = 0;
    }
    lastArrival_ = now;
    const double offset = Ms(now - paceStart_) - static_cast<double>(paceFrames_) * kFrameMs;
    ++paceFrames_;

    const int slot = measureNext_;
    offsets_[static_cast<std::size_t>(slot)] = offset;
    measureNext_ = (measureNext_ + 1) % kJitterWindowFrames;
    if (measured_ < kJitterWindowFrames) ++measured_;

    // Only offsets of this pace compare with each other.
    const int span = static_cast<int>(std::min<long long>(paceFrames_, measured_));
    double earliest = offset;
    for (int k = 0; k < span; ++k) {
        const int at = (slot - k + kJitterWindowFrames) % kJitterWindowFrames;
        earliest = std::min(earliest, offsets_[static_cast<std::size_t>(at)]);
    }
    lateness_[static_cast<std::size_t>(slot)] = offset - earliest;
}

// The first frames of a session say little of the spread (a burst of two
// looks like none at all): until a window has been measured the wait is at
// least the default.
int CPlayoutBuffer::StartDelayMs() const {
    double spread = 0;
    for (int k = 0; k < measured_; ++k) spread = std::max(spread, lateness_[static_cast<std::size_t>(k)]);
    const int floor = measured_ < kJitterWindowFrames ? kDefaultStartMs : kMinStartMs;
    return std::clamp(static_cast<int>(std::ceil(spread)), floor, kMaxStartMs);
}

// A link that spreads its frames wide also has the later outliers: the
// margin grows with the spread.
int CPlayoutBuffer::TargetLeadMs() const {
    return kSafetyMs + StartDelayMs() / kSpreadShare + gapPenalty_ * kFrameMs;
}

void CPlayoutBuffer::NoteLead(Clock::time_point now, double deviceAheadMs) {
    const int added = std::min(addedSinceLead_, count_);
    addedSinceLead_ = 0;
    if (passThrough_ || !playing_ || added == 0) return;
    if (trimWindowOpen_ && Ms(now - trimWindowStart_) >= kTrimWindowMs) CloseTrimWindow(now);
    // The oldest of the new frames has the least time: the device's sound
    // and the frames that waited here before it.
    const double lead = deviceAheadMs + static_cast<double>(count_ - added) * kFrameMs;
    if (lead <= 0) {
        // The device ran dry before it came: a gap in the talk.
        ++stats_.gaps;
        gapPenalty_ = std::min(gapPenalty_ + 1, kMaxGapPenalty);
        lastGap_ = now;
    }
    // Drops still to come are made only as far as this frame's lead allows:
    // the window that asked for them may have had more to spare than the
    // link has now.
    while (pendingDrop_ > 0 && lead - pendingDrop_ * kFrameMs < TargetLeadMs()) --pendingDrop_;
    if (lead > 0 && lead < kSafetyMs && count_ < kCapacity) {
        // It made its turn, but with less to spare than the margin: the
        // card is gaining on the frames. The frames after it get a frame's
        // length more.
        Stretch();
    }
    // Frames still to be dropped take their time off the frames after them.
    const double after = lead - static_cast<double>(pendingDrop_) * kFrameMs;
    if (!trimWindowOpen_) {
        trimWindowOpen_ = true;
        trimWindowStart_ = now;
        smallestLead_ = after;
    } else {
        smallestLead_ = std::min(smallestLead_, after);
    }
}

// The smallest lead of a window is how close its latest frame came to
// arriving too late; whole frames beyond the target at that point were
// latency and nothing else, and are dropped as they come.
void CPlayoutBuffer::CloseTrimWindow(Clock::time_point now) {
    trimWindowOpen_ = false;
    // Not before a whole window of lateness has been measured.
    if (measured_ < kJitterWindowFrames) return;
    if (gapPenalty_ > 0 && Ms(now - lastGap_) > kGapMemoryMs) {
        --gapPenalty_;
        lastGap_ = now;
    }
    const double spare = smallestLead_ - TargetLeadMs();
    const int found = spare > 0 ? std::min(static_cast<int>(spare / kFrameMs), kCapacity) : 0;
    // A surplus of a frame or two may be the luck of one window: it goes
    // only when the window before had it too. A larger one goes at once.
    int surplus = 0;
    if (found > kSmallSurplus) {
        surplus = found;
    } else if (found > 0 && lastSurplus_ > 0) {
        surplus = std::min(found, lastSurplus_);
    }
    lastSurplus_ = surplus > 0 ? 0 : found;
    pendingDrop_ = std::min(pendingDrop_ + surplus, kCapacity);
}

bool CPlayoutBuffer::TakeFrame(Clock::time_point now, int deviceQueued, Frame* out, bool* madeUp) {
    if (count_ == 0) {
        // The device's last block may still be sounding for up to a block
        // after it left the queue: only then has playback run dry.
        if (playing_ && deviceQueued == 0) {
            if (!emptying_) {
                emptying_ = true;
                emptySince_ = now;
            } else if (Ms(now - emptySince_) >= kFrameMs) {
                playing_ = false;
                emptying_ = false;
                trimWindowOpen_ = false;
                ++stats_.underruns;
                ranDry_ = true;
                ranDryAt_ = now;
            }
        }
        return false;
    }
    emptying_ = false;
    if (!passThrough_) {
        const int wait = StartDelayMs();
        if (!playing_) {
            // Wait until the first frame has waited long enough for the
            // later ones to arrive in time, or until they are all here.
            const bool waited = Ms(now - firstWaiting_) >= wait;
            const bool enough = count_ * kFrameMs > wait;
            if (!waited && !enough) return false;
            playing_ = true;
            trimWindowOpen_ = false;
            pendingDrop_ = 0;
        }
        // A burst beyond the bound (the frames held up by a stall) is cut at
        // once; what is left is trimmed by the leads.
        const int bound = (wait + kFrameMs - 1) / kFrameMs + kDeviceLead + kBoundSlack;
        if (count_ > 0 && count_ + deviceQueued > bound) pendingDrop_ = 0;
        while (count_ > 0 && count_ + deviceQueued > bound) {
            DropOldest();
            ++stats_.trimmed;
        }
        for (; pendingDrop_ > 0 && count_ > 0; --pendingDrop_) {
            DropOldest();
            ++stats_.trimmed;
        }
        if (count_ == 0 || deviceQueued >= kDeviceLead) return false;
    }
    const bool made = madeUp_[static_cast<std::size_t>(head_)];
    if (out) *out = frames_[static_cast<std::size_t>(head_)];
    if (madeUp) *madeUp = made;
    DropOldest();
    if (!made) ++stats_.played;
    return true;
}

int CPlayoutBuffer::FeedDevice(CWaveDevice& device) {
    if (!device.IsPlaybackOpen()) {
        Reset();
        deviceId_ = 0;
        return 0;
    }
    const auto id = static_cast<std::uint32_t>(device.GetPlaybackDevice());
    if (id != deviceId_) {
        // Frames left from the last device are of another session; the
        // ones added since the last call arrived for this one.
        const int keep = std::min(addedSinceFeed_, count_);
        while (count_ > keep) DropOldest();
        deviceId_ = id;
    }
    addedSinceFeed_ = 0;
    int queued = device.CountQueuedPlaybackBlocks();
    const Clock::time_point now = Clock::now();
    // The device's position is asked for only when there is a lead to note.
    if (addedSinceLead_ > 0) NoteLead(now, static_cast<double>(device.GetUnplayedBytes()) * kFrameMs / kFrameBytes);
    int taken = 0;
    Frame frame;
    bool madeUp = false;
    while (TakeFrame(now, queued, &frame, &madeUp)) {
        // A frame the device refuses (its slot still in use) is dropped
        // there, under the device's own rules.
        if (device.PlayFrame(frame.data(), kFrameBytes) == 1) {
            if (!madeUp) ++taken;
            ++queued;
        }
    }
    return taken;
}
