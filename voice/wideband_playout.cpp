#include "voice/wideband_playout.h"

#include <algorithm>

namespace {

double Ms(CWidebandPlayout::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

CWidebandPlayout::CWidebandPlayout(Concealer conceal) : conceal_(std::move(conceal)) {}

void CWidebandPlayout::Reset() {
    ring_.Clear();
    jitter_.Reset();
    trimmer_.Reset();
    frontCut_ = 0;
    playing_ = false;
    ranDry_ = false;
    emptying_ = false;
    addedSinceLead_ = 0;
}

void CWidebandPlayout::Push(const Frame& frame, bool madeUp) {
    if (ring_.IsFull()) {
        ring_.DropOldest();
        frontCut_ = 0;
        ++stats_.overflowed;
    }
    ring_.PushBack(madeUp) = frame;
}

void CWidebandPlayout::Add(const Frame& frame, Clock::time_point now) {
    ++stats_.added;
    jitter_.NoteArrival(now);
    if (ring_.IsEmpty() && !playing_) {
        firstWaiting_ = now;
        if (ranDry_ && Ms(now - ranDryAt_) < kGapMs) {
            ++stats_.gaps;
            trimmer_.NoteGap(now);
        }
        ranDry_ = false;
    }
    Push(frame, false);
    if (addedSinceLead_ < kCapacity) ++addedSinceLead_;
}

void CWidebandPlayout::AddMadeUp(const Frame& frame) {
    Push(frame, true);
    ++stats_.concealed;
}

void CWidebandPlayout::Conceal() {
    Frame f;
    if (!conceal_ || !conceal_(f)) return;
    Push(f, true);
    ++stats_.stretched;
}

void CWidebandPlayout::NoteLead(Clock::time_point now, double deviceAheadMs) {
    const int added = std::min(addedSinceLead_, ring_.Count());
    addedSinceLead_ = 0;
    if (!playing_ || added == 0) return;
    const double waitingBefore =
        static_cast<double>((ring_.Count() - added) * kFrameSamples - frontCut_) / kFrameSamples * kFrameMs;
    const double lead = deviceAheadMs + waitingBefore;
    if (trimmer_.NoteLead(now, lead, jitter_.StartDelayMs(), jitter_.HasWindow())) ++stats_.gaps;
    if (lead > 0 && lead < kSafetyMs && !ring_.IsFull()) Conceal();
}

void CWidebandPlayout::DropFrames(int frames) {
    for (int k = 0; k < frames && !ring_.IsEmpty(); ++k) {
        stats_.trimmedMs += (kFrameSamples - frontCut_) / kStepSamples * kStepMs;
        ring_.DropOldest();
        frontCut_ = 0;
    }
}

void CWidebandPlayout::DropSteps(int steps) {
    frontCut_ += steps * kStepSamples;
    stats_.trimmedMs += static_cast<long long>(steps) * kStepMs;
    while (frontCut_ >= kFrameSamples && !ring_.IsEmpty()) {
        ring_.DropOldest();
        frontCut_ -= kFrameSamples;
    }
    if (ring_.IsEmpty()) frontCut_ = 0;
}

bool CWidebandPlayout::TakeBlock(Clock::time_point now, int deviceQueued, Frame* out, int* samples, bool* madeUp) {
    if (ring_.IsEmpty()) {
        if (playing_ && deviceQueued == 0) {
            if (!emptying_) {
                emptying_ = true;
                emptySince_ = now;
            } else if (Ms(now - emptySince_) >= kFrameMs) {
                playing_ = false;
                emptying_ = false;
                trimmer_.StopPlaying();
                ++stats_.underruns;
                ranDry_ = true;
                ranDryAt_ = now;
            }
        }
        return false;
    }
    emptying_ = false;
    const int wait = StartDelayMs();
    if (!playing_) {
        const bool waited = Ms(now - firstWaiting_) >= wait;
        const bool enough = ring_.Count() * kFrameMs > wait;
        if (!waited && !enough) return false;
        playing_ = true;
        trimmer_.StartPlaying();
    }
    const int bound = (wait + kFrameMs - 1) / kFrameMs + kDeviceLead + kBoundSlack;
    const int over = ring_.Count() + deviceQueued - bound;
    if (over > 0) {
        trimmer_.CancelDrops();
        DropFrames(std::min(over, ring_.Count()));
    }
    // Of the oldest frame at least one step is left to play.
    const int spareSteps = (WaitingSamples() - kStepSamples) / kStepSamples;
    DropSteps(trimmer_.TakeDrops(std::max(spareSteps, 0)));
    if (ring_.IsEmpty() || deviceQueued >= kDeviceLead) return false;
    const bool made = ring_.FrontIsMadeUp();
    const int n = kFrameSamples - frontCut_;
    if (out) std::copy(ring_.Front().begin() + frontCut_, ring_.Front().end(), out->begin());
    if (samples) *samples = n;
    if (madeUp) *madeUp = made;
    ring_.DropOldest();
    frontCut_ = 0;
    if (made) {
        ++madeUpPlayed_;
    } else {
        ++stats_.played;
    }
    return true;
}
