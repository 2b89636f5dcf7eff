// How late voice frames arrive against a steady pace of one a frame's length
// (16 ms unless told otherwise),
// and from that how long a talk waits before it starts playing.
//
// Each frame's lateness is how far it came behind the earliest frame of
// the last second, the frames being due one a frame's length apart; the
// spread is the largest lateness of that second. A pause in the talk
// longer than a second starts the pace afresh.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>

#include "voice/frame.h"

class CJitterEstimator {
public:
    using Clock = std::chrono::steady_clock;

    // How far back lateness is looked at: a second of frames (of 16 ms; of
    // frames down to 10 ms long, kMaxWindowFrames at most).
    static constexpr int kWindowFrames = 62;
    static constexpr int kMaxWindowFrames = 100;

    explicit CJitterEstimator(int frameMs = voice::kFrameMs)
        : frameMs_(frameMs), windowFrames_(std::min(1000 / frameMs, kMaxWindowFrames)) {}
    // A pause at least this long between two frames starts the pace afresh.
    static constexpr int kPaceBreakMs = 1000;
    // Bounds of the wait before playing starts.
    static constexpr int kMinStartMs = 0;
    static constexpr int kMaxStartMs = 96;
    // The wait while less than a window has been measured.
    static constexpr int kDefaultStartMs = 64;

    // Forgets everything measured (a new session).
    void Reset();
    // A frame arrived at now.
    void NoteArrival(Clock::time_point now);

    // A whole window of frames has been measured.
    bool HasWindow() const { return measured_ == windowFrames_; }
    // How late the last frame came, against the earliest of the window.
    double LastLatenessMs() const {
        return measured_ == 0 ? 0 : lateness_[static_cast<std::size_t>((next_ + windowFrames_ - 1) % windowFrames_)];
    }
    // The wait before playing starts: the spread, rounded up to a whole
    // millisecond and kept within its bounds.
    int StartDelayMs() const;

private:
    int frameMs_;
    int windowFrames_;
    bool paced_ = false;
    Clock::time_point paceStart_{};
    long long paceFrames_ = 0;
    Clock::time_point lastArrival_{};
    // Per frame of the window: its offset from its place in the pace, and
    // how far that is behind the earliest offset of the pace in the window.
    std::array<double, kMaxWindowFrames> offsets_{};
    std::array<double, kMaxWindowFrames> lateness_{};
    int measured_ = 0;
    int next_ = 0;
};
