// Follows a sender whose sound card runs slower than its nominal rate, so
// that lateness is measured against the sender's own clock. A card's clock
// is always off a little; a slow one makes every frame a little later than
// the one before, which against the nominal pace looks like lateness that
// grows over each window (a card 2 % slow looks like 20 ms of spread over
// a second of 10 ms frames) and holds that much latency for nothing.
//
// Jitter only ever makes frames later, so the earliest arrivals of each
// window of kWindowFrames follow the sender's clock: how much their
// earliest moved from one window to the next gives how much slower than
// the pace each frame comes (never taken as faster: a fast sender's frames
// look early, which costs nothing; and at most kMaxSlowShare of a frame).
// Until two whole windows have been compared, a first guess comes from the
// first window's quarters (after half a window) and halves (after a whole
// one): waiting two seconds for the first would hold a slow sender's drift
// as spread, and latency with it, for the first seconds of every session.
// Arrival hands back the time a frame arrived less how far the sender has
// fallen behind the pace since its talk began.
#pragma once

#include <algorithm>
#include <chrono>

class CSenderClock {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kWindowFrames = 100;
    static constexpr double kMaxSlowShare = 0.05;
    // A pause this long between two frames starts the pace afresh (as
    // CJitterEstimator does); how slow the sender is, is kept.
    static constexpr int kPaceBreakMs = 1000;

    explicit CSenderClock(int frameMs) : frameMs_(frameMs) {}

    // A new session: nothing known of the sender.
    void Reset() {
        slowMs_ = 0;
        paced_ = false;
        compared_ = false;
    }

    // A frame arrived at now: the time it would have arrived at on a clock
    // that kept the pace.
    Clock::time_point Arrival(Clock::time_point now) {
        if (!paced_ || Ms(now - lastArrival_) > kPaceBreakMs) {
            paced_ = true;
            paceStart_ = now;
            frames_ = 0;
            behindMs_ = 0;
            inWindow_ = 0;
            havePrevious_ = false;
        }
        lastArrival_ = now;
        const double offset = Ms(now - paceStart_) - static_cast<double>(frames_) * frameMs_;
        if (frames_ > 0) behindMs_ += slowMs_;
        ++frames_;
        const int quarter = inWindow_ / kQuarterFrames;
        quarters_[quarter] = inWindow_ % kQuarterFrames == 0 ? offset : std::min(quarters_[quarter], offset);
        ++inWindow_;
        if (!compared_ && !havePrevious_) GuessFromQuarters();
        if (inWindow_ == kWindowFrames) {
            const double earliest = std::min({quarters_[0], quarters_[1], quarters_[2], quarters_[3]});
            if (havePrevious_) {
                slowMs_ = Slope(earliest - previousEarliest_, kWindowFrames);
                compared_ = true;
            }
            previousEarliest_ = earliest;
            havePrevious_ = true;
            inWindow_ = 0;
        }
        return now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(behindMs_));
    }

    // How much later than the pace each frame comes, in milliseconds.
    double SlowMsPerFrame() const { return slowMs_; }

private:
    static constexpr int kQuarterFrames = kWindowFrames / 4;
    static_assert(kWindowFrames % 4 == 0, "a window is four whole quarters");

    static double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

    double Slope(double movedMs, int frames) const {
        return std::clamp(movedMs / frames, 0.0, kMaxSlowShare * frameMs_);
    }

    // In the first window of a sender not yet compared over whole windows:
    // its second quarter against its first, then its second half against
    // its first.
    void GuessFromQuarters() {
        if (inWindow_ == 2 * kQuarterFrames) {
            slowMs_ = Slope(quarters_[1] - quarters_[0], kQuarterFrames);
        } else if (inWindow_ == kWindowFrames) {
            slowMs_ = Slope(std::min(quarters_[2], quarters_[3]) - std::min(quarters_[0], quarters_[1]),
                            2 * kQuarterFrames);
        }
    }

    int frameMs_;
    double slowMs_ = 0;
    bool paced_ = false;
    Clock::time_point paceStart_{};
    Clock::time_point lastArrival_{};
    long long frames_ = 0;
    double behindMs_ = 0;
    int inWindow_ = 0;
    double previousEarliest_ = 0;
    bool havePrevious_ = false;
    // The earliest offset of each quarter of the window.
    double quarters_[4] = {};
    // Two whole windows have been compared since the session began.
    bool compared_ = false;
};
