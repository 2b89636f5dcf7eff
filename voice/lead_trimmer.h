// Brings play-out latency back down, and keeps the margin that decides how
// far down.
//
// Every frame that arrives has a lead: how long until its playback begins.
// Over a window of a second the smallest lead shows how close the latest
// frame came to arriving too late; whole frames beyond the target margin at
// that point were latency and nothing else, and are to be dropped as the
// next frames come, as far as their own leads allow. The target is a small
// safety margin plus a share of the spread of lateness, and more (a frame's
// length, unless the owner says less) for each recent gap (a frame that
// came after the device had run dry), given back one at a time after a
// while without one.
#pragma once

#include <chrono>

#include "voice/frame.h"

class CLeadTrimmer {
public:
    using Clock = std::chrono::steady_clock;

    // The lead kept at the latest arrival of a window, at least: enough for
    // a frame a little later than any of the last second. That is kSafetyMs
    // (unless the owner's Margin says otherwise) and a share (1/kSpreadShare)
    // of the spread, and a frame's length more for each recent gap (up to
    // kMaxGapPenalty), given back after kGapMemoryMs without one.
    static constexpr int kSafetyMs = 4;
    static constexpr int kSpreadShare = 4;
    static constexpr int kMaxGapPenalty = 3;
    static constexpr int kGapMemoryMs = 10000;
    // How long a window of leads is; the first after a cut.
    static constexpr int kWindowMs = 1000;
    static constexpr int kFirstWindowAfterCutMs = 250;
    // A surplus up to this many frames is dropped only when two windows in
    // a row had it.
    static constexpr int kSmallSurplus = 2;

    // The margin kept beyond the share of the spread, and what each recent
    // gap adds to it (a frame's length unless given).
    struct Margin {
        int safetyMs = kSafetyMs;
        int perGapMs = 0;
    };

    // Frames of frameMs; a drop takes stepMs of sound away (a whole frame
    // unless the play-out buffer can cut frames shorter).
    CLeadTrimmer(int frameMs, int stepMs, Margin margin)
        : frameMs_(frameMs), stepMs_(stepMs > 0 ? stepMs : frameMs), safetyMs_(margin.safetyMs),
          perGapMs_(margin.perGapMs > 0 ? margin.perGapMs : frameMs) {}
    explicit CLeadTrimmer(int frameMs = voice::kFrameMs, int stepMs = 0) : CLeadTrimmer(frameMs, stepMs, Margin()) {}

    // Forgets the windows, the gaps and the drops still to come.
    void Reset();

    // The device ran dry before a frame came.
    void NoteGap(Clock::time_point now);
    // The smallest lead a window may leave, given the wait before playing
    // starts (which follows the spread).
    int TargetLeadMs(int startDelayMs) const;

    // While playing: the oldest frame that arrived since the last call has
    // leadMs before its playback begins. Closes a window that is a second
    // old (only once paceKnown: a window of lateness has been measured),
    // notes a gap when the frame came after the device ran dry, and lets go
    // of drops the frame's lead cannot spare. True for a gap.
    bool NoteLead(Clock::time_point now, double leadMs, int startDelayMs, bool paceKnown);

    // Playing starts (afresh): no window open and nothing to drop.
    void StartPlaying();
    // Playing ended: the window is closed without a verdict.
    void StopPlaying() { windowOpen_ = false; }
    // A burst beyond the bound has been cut: drops still to come are not
    // made, and the window open is closed without a verdict, since its
    // leads came before the cut. The next is a short one
    // (kFirstWindowAfterCutMs): the latency a stall left is found within a
    // fraction of a second, not a second later. Cuts while that short
    // window is open leave it open: a burst cut frame by frame as it comes
    // is one cut.
    void CutMade() {
        pendingDrops_ = 0;
        if (shortWindow_) return;
        windowOpen_ = false;
        shortWindow_ = true;
    }
    // Of the drops (of stepMs each) still to come, as many as most: they
    // are made now.
    int TakeDrops(int most);

    int PendingDrops() const { return pendingDrops_; }
    int GapPenalty() const { return gapPenalty_; }

private:
    void CloseWindow(Clock::time_point now, int startDelayMs, bool paceKnown);

    int MaxDrops() const;

    int frameMs_;
    int stepMs_;
    int safetyMs_;
    int perGapMs_;
    int gapPenalty_ = 0;
    Clock::time_point lastGap_{};  // the last gap, or when the penalty last eased
    bool windowOpen_ = false;
    bool shortWindow_ = false;
    Clock::time_point windowStart_{};
    double smallestLead_ = 0;
    // What the last window found without it being dropped (a small surplus).
    int lastSurplus_ = 0;
    int pendingDrops_ = 0;
};
