#include "voice/lead_trimmer.h"

#include <algorithm>

#include "voice/frame_ring.h"

namespace {

double Ms(CLeadTrimmer::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

// Never more to drop than the play-out buffer can hold.
int CLeadTrimmer::MaxDrops() const { return CFrameRing::kCapacity * frameMs_ / stepMs_; }

void CLeadTrimmer::Reset() {
    windowOpen_ = false;
    shortWindow_ = false;
    gapPenalty_ = 0;
    lastSurplus_ = 0;
    pendingDrops_ = 0;
}

void CLeadTrimmer::NoteGap(Clock::time_point now) {
    gapPenalty_ = std::min(gapPenalty_ + 1, kMaxGapPenalty);
    lastGap_ = now;
}

// A link that spreads its frames wide also has the later outliers: the
// margin grows with the spread.
int CLeadTrimmer::TargetLeadMs(int startDelayMs) const {
    return safetyMs_ + startDelayMs / kSpreadShare + gapPenalty_ * perGapMs_;
}

bool CLeadTrimmer::NoteLead(Clock::time_point now, double leadMs, int startDelayMs, bool paceKnown) {
    const int windowMs = shortWindow_ ? kFirstWindowAfterCutMs : kWindowMs;
    if (windowOpen_ && Ms(now - windowStart_) >= windowMs) CloseWindow(now, startDelayMs, paceKnown);
    const bool gap = leadMs <= 0;
    if (gap) NoteGap(now);
    // Drops still to come are made only as far as this frame's lead allows:
    // the window that asked for them may have had more to spare than the
    // link has now.
    const int target = TargetLeadMs(startDelayMs);
    while (pendingDrops_ > 0 && leadMs - pendingDrops_ * stepMs_ < target) --pendingDrops_;
    // Frames still to be dropped take their time off the frames after them.
    const double after = leadMs - static_cast<double>(pendingDrops_) * stepMs_;
    if (!windowOpen_) {
        windowOpen_ = true;
        windowStart_ = now;
        smallestLead_ = after;
    } else {
        smallestLead_ = std::min(smallestLead_, after);
    }
    return gap;
}

void CLeadTrimmer::CloseWindow(Clock::time_point now, int startDelayMs, bool paceKnown) {
    windowOpen_ = false;
    shortWindow_ = false;
    // Not before a whole window of lateness has been measured.
    if (!paceKnown) return;
    if (gapPenalty_ > 0 && Ms(now - lastGap_) > kGapMemoryMs) {
        --gapPenalty_;
        lastGap_ = now;
    }
    const double spare = smallestLead_ - TargetLeadMs(startDelayMs);
    const int found = spare > 0 ? std::min(static_cast<int>(spare / stepMs_), MaxDrops()) : 0;
    // A surplus of a frame or two may be the luck of one window: it goes
    // only when the window before had it too. A larger one goes at once.
    int surplus = 0;
    if (found * stepMs_ > kSmallSurplus * frameMs_) {
        surplus = found;
    } else if (found > 0 && lastSurplus_ > 0) {
        surplus = std::min(found, lastSurplus_);
    }
    lastSurplus_ = surplus > 0 ? 0 : found;
    pendingDrops_ = std::min(pendingDrops_ + surplus, MaxDrops());
}

void CLeadTrimmer::StartPlaying() {
    windowOpen_ = false;
    pendingDrops_ = 0;
}

int CLeadTrimmer::TakeDrops(int most) {
    const int n = std::clamp(most, 0, pendingDrops_);
    pendingDrops_ -= n;
    return n;
}
