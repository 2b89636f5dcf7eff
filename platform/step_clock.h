// The steps of a sound device held to a steady clock, as a card's crystal
// holds them: step k is due at start + k steps, whatever the steps before it
// cost. A step taken late is followed at once by the next one due, as a
// card's buffer would have gone on meanwhile; a device so far behind that
// this would rush through a backlog (a machine that stood still) starts its
// clock afresh instead.
//
// For drivers that keep time by sleeping a step after each one (SDL's disk
// driver): each sleep's overshoot and the work between them make such a
// device run slow, and by a share that wanders with the machine's load.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

class StepClock {
public:
    using Clock = std::chrono::steady_clock;

    // Behind by more than this many steps, the clock starts afresh.
    static constexpr std::int64_t kMaxBehindSteps = 20;

    // Steps of frames sample frames at rate per second.
    StepClock(std::uint32_t frames, std::uint32_t rate) : frames_(frames), rate_(rate) {}

    // The next step starts the clock afresh (a device started again after
    // a pause owes nothing for the time it stood).
    void Restart() { started_ = false; }

    // A step is to be taken; now is the time. Returns when it is due: the
    // caller waits until then (a time at or before now means at once).
    Clock::time_point Due(Clock::time_point now) {
        if (!started_ || now - At(taken_) > At(kMaxBehindSteps) - At(0)) {
            started_ = true;
            start_ = now;
            taken_ = 0;
        }
        return At(taken_++);
    }

private:
    // When step k is due, to the nanosecond without adding up rounding.
    Clock::time_point At(std::int64_t k) const {
        using std::chrono::nanoseconds;
        return start_ + std::chrono::duration_cast<Clock::duration>(
                            nanoseconds(k * frames_ * 1'000'000'000LL / rate_));
    }

    std::int64_t frames_;
    std::int64_t rate_;
    bool started_ = false;
    Clock::time_point start_{};
    std::int64_t taken_ = 0;
};

}  // namespace platform
