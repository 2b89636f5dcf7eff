#include "voice/wideband_playout.h"

#include <algorithm>

CWidebandPlayout::CWidebandPlayout(Concealer conceal) : conceal_(std::move(conceal)) {}

void CWidebandPlayout::Reset() {
    ring_.Clear();
    gate_.Reset();
    frontCut_ = 0;
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
    if (gate_.NoteArrival(now, ring_.IsEmpty())) ++stats_.gaps;
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
    if (!gate_.IsPlaying() || added == 0) return;
    const double waitingBefore =
        static_cast<double>((ring_.Count() - added) * kFrameSamples - frontCut_) / kFrameSamples * kFrameMs;
    const double lead = deviceAheadMs + waitingBefore;
    if (gate_.NoteLead(now, lead)) ++stats_.gaps;
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
        if (gate_.NoteEmpty(now, deviceQueued)) ++stats_.underruns;
        return false;
    }
    if (!gate_.MayPlay(now, ring_.Count())) return false;
    DropFrames(gate_.CutBurst(ring_.Count(), deviceQueued));
    // Of the oldest frame at least one step is left to play.
    const int spareSteps = (WaitingSamples() - kStepSamples) / kStepSamples;
    DropSteps(gate_.TakeDrops(std::max(spareSteps, 0)));
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
