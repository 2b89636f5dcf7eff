#include "voice/playout_gate.h"

#include <algorithm>

namespace {

double Ms(CPlayoutGate::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

void CPlayoutGate::Reset() {
    jitter_.Reset();
    trimmer_.Reset();
    senderClock_.Reset();
    playing_ = false;
    ranDry_ = false;
    emptying_ = false;
}

bool CPlayoutGate::NoteArrival(Clock::time_point now, bool nothingWaiting) {
    jitter_.NoteArrival(followSenderClock_ ? senderClock_.Arrival(now) : now);
    if (!nothingWaiting || playing_) return false;
    firstWaiting_ = now;
    const bool gap = ranDry_ && Ms(now - ranDryAt_) < kGapMs;
    if (gap) trimmer_.NoteGap(now);
    // After a pause in the talk the pace has a hole where the frames not
    // sent would be, which reads as lateness: only a gap's frame counts.
    firstLateness_ = gap && jitter_.HasWindow() ? jitter_.LastLatenessMs() : 0;
    ranDry_ = false;
    return gap;
}

bool CPlayoutGate::NoteLead(Clock::time_point now, double leadMs) {
    return trimmer_.NoteLead(now, leadMs, jitter_.StartDelayMs(), jitter_.HasWindow());
}

bool CPlayoutGate::NoteEmpty(Clock::time_point now, int deviceQueued) {
    if (!playing_ || deviceQueued != 0) return false;
    if (!emptying_) {
        emptying_ = true;
        emptySince_ = now;
        return false;
    }
    if (Ms(now - emptySince_) < frameMs_) return false;
    playing_ = false;
    emptying_ = false;
    trimmer_.StopPlaying();
    ranDry_ = true;
    ranDryAt_ = now;
    return true;
}

double CPlayoutGate::StartWaitMs() const {
    const int delay = StartDelayMs();
    return std::max(delay - firstLateness_, static_cast<double>(std::min(TargetLeadMs(), delay)));
}

bool CPlayoutGate::MayPlay(Clock::time_point now, int waiting) {
    emptying_ = false;
    if (playing_) return true;
    // Wait until the first frame has waited long enough for the later ones
    // to arrive in time, or until they are all here.
    const double wait = StartWaitMs();
    const bool waited = Ms(now - firstWaiting_) >= wait;
    const bool enough = waiting * frameMs_ > wait;
    if (!waited && !enough) return false;
    playing_ = true;
    trimmer_.StartPlaying();
    return true;
}

int CPlayoutGate::CutBurst(int waiting, int deviceQueued) {
    const int bound = (StartDelayMs() + frameMs_ - 1) / frameMs_ + kDeviceLead + kBoundSlack;
    const int over = waiting + deviceQueued - bound;
    if (over <= 0) return 0;
    trimmer_.CutMade();
    return std::min(over, waiting);
}
