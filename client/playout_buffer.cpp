#include "client/playout_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "client/wave_device.h"

namespace {

constexpr std::uint8_t kSilence = 128;

double Ms(CPlayoutBuffer::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

CPlayoutBuffer::CPlayoutBuffer() = default;

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
    Frame& f = frames_[static_cast<std::size_t>((head_ + count_) % kCapacity)];
    const int n = data ? std::clamp(bytes, 0, kFrameBytes) : 0;
    if (n > 0) std::memcpy(f.data(), data, static_cast<std::size_t>(n));
    std::fill(f.begin() + n, f.end(), kSilence);
    ++count_;
    if (addedSinceFeed_ < kCapacity) ++addedSinceFeed_;
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

// The lowest level over the trim window tells how low the level goes as
// late frames arrive; a spread of lateness beyond a block asks for more than
// one frame there, since a level sampled on ticks misses part of a block.
int CPlayoutBuffer::Reserve() const {
    const int spread = (StartDelayMs() + kFrameMs - 1) / kFrameMs - 1;
    return std::max(kReserve, spread) + gapPenalty_;
}

// The lowest level over each trim window; a window whose lowest level
// stood above the reserve had that surplus of frames waiting all along,
// which is latency and nothing else: it is dropped, oldest first.
void CPlayoutBuffer::TrackLevel(Clock::time_point now, int level) {
    if (!trimWindowOpen_) {
        trimWindowOpen_ = true;
        trimWindowStart_ = now;
        lowestLevel_ = level;
        return;
    }
    lowestLevel_ = std::min(lowestLevel_, level);
    if (Ms(now - trimWindowStart_) < kTrimWindowMs) return;
    // Not before a whole window of lateness has been measured.
    if (measured_ < kJitterWindowFrames) {
        trimWindowStart_ = now;
        lowestLevel_ = level;
        return;
    }
    if (gapPenalty_ > 0 && Ms(now - lastGap_) > kGapMemoryMs) {
        --gapPenalty_;
        lastGap_ = now;
    }
    // A surplus of a frame or two may be the luck of one window: it goes
    // only when the window before had it too. A larger one goes at once.
    const int found = std::clamp(lowestLevel_ - Reserve(), 0, count_);
    int surplus = 0;
    if (found > kSmallSurplus) {
        surplus = found;
    } else if (found > 0 && lastSurplus_ > 0) {
        surplus = std::min(found, lastSurplus_);
    }
    lastSurplus_ = surplus > 0 ? 0 : found;
    for (int k = 0; k < surplus; ++k) {
        DropOldest();
        ++stats_.trimmed;
    }
    trimWindowStart_ = now;
    lowestLevel_ = level - surplus;
}

bool CPlayoutBuffer::TakeFrame(Clock::time_point now, int deviceQueued, Frame* out) {
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
        }
        // A burst beyond the bound (the frames held up by a stall) is cut at
        // once; what is left is trimmed by the level's lowest point.
        const int bound = (wait + kFrameMs - 1) / kFrameMs + kDeviceLead + kBoundSlack;
        while (count_ > 0 && count_ + deviceQueued > bound) {
            DropOldest();
            ++stats_.trimmed;
        }
        TrackLevel(now, count_ + deviceQueued);
        if (count_ == 0 || deviceQueued >= kDeviceLead) return false;
    }
    if (out) *out = frames_[static_cast<std::size_t>(head_)];
    DropOldest();
    ++stats_.played;
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
    int taken = 0;
    Frame frame;
    while (TakeFrame(now, queued, &frame)) {
        // A frame the device refuses (its slot still in use) is dropped
        // there, under the device's own rules.
        if (device.PlayFrame(frame.data(), kFrameBytes) == 1) {
            ++taken;
            ++queued;
        }
    }
    return taken;
}
