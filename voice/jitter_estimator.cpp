#include "voice/jitter_estimator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>


namespace {

double Ms(CJitterEstimator::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

void CJitterEstimator::Reset() {
    paced_ = false;
    paceFrames_ = 0;
    measured_ = 0;
    next_ = 0;
}

void CJitterEstimator::NoteArrival(Clock::time_point now) {
    if (!paced_ || Ms(now - lastArrival_) > kPaceBreakMs) {
        paced_ = true;
        paceStart_ = now;
        paceFrames_ = 0;
    }
    lastArrival_ = now;
    const double offset = Ms(now - paceStart_) - static_cast<double>(paceFrames_) * frameMs_;
    ++paceFrames_;

    const int slot = next_;
    offsets_[static_cast<std::size_t>(slot)] = offset;
    next_ = (next_ + 1) % windowFrames_;
    if (measured_ < windowFrames_) ++measured_;

    // Only offsets of this pace compare with each other.
    const int span = static_cast<int>(std::min<long long>(paceFrames_, measured_));
    double earliest = offset;
    for (int k = 0; k < span; ++k) {
        const int at = (slot - k + windowFrames_) % windowFrames_;
        earliest = std::min(earliest, offsets_[static_cast<std::size_t>(at)]);
    }
    lateness_[static_cast<std::size_t>(slot)] = offset - earliest;
}

// The first frames of a session say little of the spread (a burst of two
// looks like none at all): until a window has been measured the wait is at
// least the default.
int CJitterEstimator::StartDelayMs() const {
    double spread = 0;
    for (int k = 0; k < measured_; ++k) spread = std::max(spread, lateness_[static_cast<std::size_t>(k)]);
    const int floor = HasWindow() ? kMinStartMs : kDefaultStartMs;
    return std::clamp(static_cast<int>(std::ceil(spread)), floor, kMaxStartMs);
}
