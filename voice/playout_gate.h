// When a play-out buffer plays, and what it keeps: the rules the buffers of
// either frame length share, apart from the frames themselves.
//
//   - At the start of a talk, or after playback ran dry, playing waits
//     until the first frame has waited the start delay (the lateness
//     measured lately, CJitterEstimator) or the frames waiting cover it.
//     A frame that came late has used up that much of the wait already:
//     after a gap it waits only what its lateness leaves of the start
//     delay, and at least the target lead (the margin the trimmer keeps
//     at the latest frame), or the start delay if that is less. Waiting
//     the whole spread behind a frame that was itself the latest would add
//     the spread to the latency once more, for the seconds the trimmer
//     takes to find it.
//   - Playback has run dry once nothing waits and the device has had
//     nothing queued for a whole frame (its last block may still sound).
//     A frame that comes soon after that is a gap.
//   - A level (frames waiting and blocks at the device) above the bound is
//     a burst held up by a stall, cut at once; below it the leads decide
//     what to drop (CLeadTrimmer), and after a cut they are looked at
//     again a quarter of a second on.
//   - Where asked, lateness is measured against the sender's own clock
//     (CSenderClock), so that a sender whose card runs slow does not look
//     like jitter.
// The owner keeps the frames and says how many there are.
#pragma once

#include <chrono>

#include "voice/jitter_estimator.h"
#include "voice/lead_trimmer.h"
#include "voice/sender_clock.h"

class CPlayoutGate {
public:
    using Clock = std::chrono::steady_clock;

    // Blocks kept queued at the device while frames wait in the buffer:
    // enough to bridge a late tick, few enough to leave the rest droppable.
    static constexpr int kDeviceLead = 2;
    // Running dry and getting the next frame within this long is a gap in
    // the talk, not its end.
    static constexpr int kGapMs = 150;
    // The level is cut at once to the start wait, the device's lead and
    // this many frames more.
    static constexpr int kBoundSlack = 2;

    // Frames of frameMs, trimmed in steps of stepMs (whole frames unless
    // given); followSenderClock: lateness against the sender's clock.
    explicit CPlayoutGate(int frameMs, int stepMs = 0, bool followSenderClock = false,
                          CLeadTrimmer::Margin margin = CLeadTrimmer::Margin())
        : frameMs_(frameMs), jitter_(frameMs), trimmer_(frameMs, stepMs, margin), followSenderClock_(followSenderClock),
          senderClock_(frameMs) {}

    // Forgets what was measured and stops playing (a new session).
    void Reset();

    // A frame arrived at now; nothingWaiting when no frame waited before
    // it. True when it came soon after playback ran dry: a gap.
    bool NoteArrival(Clock::time_point now, bool nothingWaiting);
    // While playing: the oldest frame that arrived since the last call has
    // leadMs before its playback begins. True when that makes it a gap.
    bool NoteLead(Clock::time_point now, double leadMs);

    // Nothing waits in the buffer, and the device has deviceQueued blocks.
    // True when playback has just run dry.
    bool NoteEmpty(Clock::time_point now, int deviceQueued);
    // waiting frames wait in the buffer: whether they may be played now
    // (playing starts here when it may).
    bool MayPlay(Clock::time_point now, int waiting);
    // While playing: how many of the waiting frames go at once, the burst
    // beyond the bound; the drops the leads asked for are called off then.
    int CutBurst(int waiting, int deviceQueued);
    // Of the drops the leads asked for, as many as most: they are made now.
    int TakeDrops(int most) { return trimmer_.TakeDrops(most); }

    bool IsPlaying() const { return playing_; }
    // The wait before playing starts, from the lateness measured lately.
    int StartDelayMs() const { return jitter_.StartDelayMs(); }
    // What the first frame waiting has to wait of it, given how late it came.
    double StartWaitMs() const;
    // The smallest lead a window may leave, in milliseconds.
    int TargetLeadMs() const { return trimmer_.TargetLeadMs(StartDelayMs()); }
    // How much later than the pace each frame comes (0 unless followed).
    double SenderSlowMsPerFrame() const { return senderClock_.SlowMsPerFrame(); }

private:
    int frameMs_;
    CJitterEstimator jitter_;
    CLeadTrimmer trimmer_;
    bool followSenderClock_;
    CSenderClock senderClock_;

    bool playing_ = false;
    Clock::time_point firstWaiting_{};  // arrival of the oldest frame while not playing
    double firstLateness_ = 0;          // and how late it came, if it came in a gap
    // Nothing left in the buffer or at the device, since when; and when
    // playback last ran dry.
    bool emptying_ = false;
    Clock::time_point emptySince_{};
    bool ranDry_ = false;
    Clock::time_point ranDryAt_{};
};
