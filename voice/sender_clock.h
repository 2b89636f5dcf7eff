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
        earliest_ = inWindow_ == 0 ? offset : std::min(earliest_, offset);
        if (++inWindow_ == kWindowFrames) {
            if (havePrevious_) {
                slowMs_ = std::clamp((earliest_ - previousEarliest_) / kWindowFrames, 0.0, kMaxSlowShare * frameMs_);
            }
            previousEarliest_ = earliest_;
            havePrevious_ = true;
            inWindow_ = 0;
        }
        return now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(behindMs_));
    }

    // How much later than the pace each frame comes, in milliseconds.
    double SlowMsPerFrame() const { return slowMs_; }

private:
    static double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

    int frameMs_;
    double slowMs_ = 0;
    bool paced_ = false;
    Clock::time_point paceStart_{};
    Clock::time_point lastArrival_{};
    long long frames_ = 0;
    double behindMs_ = 0;
    int inWindow_ = 0;
    double earliest_ = 0;
    double previousEarliest_ = 0;
    bool havePrevious_ = false;
};
