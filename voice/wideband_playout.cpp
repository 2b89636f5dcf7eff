#include "voice/wideband_playout.h"

#include <algorithm>
#include <cmath>

CWidebandPlayout::CWidebandPlayout(Concealer conceal) : conceal_(std::move(conceal)) {}

void CWidebandPlayout::Reset() {
    ring_.Clear();
    gate_.Reset();
    frontCut_ = 0;
    stretchAhead_ = -1;
    addedSinceLead_ = 0;
}

void CWidebandPlayout::PopFront(int carrySamples) {
    ring_.DropOldest();
    frontCut_ = carrySamples;
    if (stretchAhead_ < 0) return;
    // The stretch frame is the oldest now: only its tail is played.
    if (--stretchAhead_ == 0) {
        frontCut_ = std::max(frontCut_, stretchCut_);
        stretchAhead_ = -1;
    }
}

void CWidebandPlayout::Push(const Frame& frame, bool madeUp) {
    if (ring_.IsFull()) {
        PopFront(0);
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

void CWidebandPlayout::Conceal(double leadMs) {
    Frame f;
    // One stretch at a time: a second one before the first is played would
    // count its frame twice.
    if (stretchAhead_ >= 0 || !conceal_ || !conceal_(f)) return;
    Push(f, true);
    ++stats_.stretched;
    // As long as the frames after it need to be back at the target lead,
    // to the millisecond.
    const int steps = std::clamp(static_cast<int>(std::ceil((gate_.TargetLeadMs() - leadMs) / kStepMs)), 1,
                                 kFrameMs / kStepMs);
    stretchCut_ = kFrameSamples - steps * kStepSamples;
    stretchAhead_ = ring_.Count() - 1;
    if (stretchAhead_ == 0) {
        frontCut_ = stretchCut_;
        stretchAhead_ = -1;
    }
}

void CWidebandPlayout::NoteLead(Clock::time_point now, double deviceAheadMs) {
    const int added = std::min(addedSinceLead_, ring_.Count());
    addedSinceLead_ = 0;
    if (!gate_.IsPlaying() || added == 0) return;
    const double waitingBefore =
        static_cast<double>((ring_.Count() - added) * kFrameSamples - frontCut_) / kFrameSamples * kFrameMs;
    const double lead = deviceAheadMs + waitingBefore;
    if (gate_.NoteLead(now, lead)) ++stats_.gaps;
    if (lead > 0 && lead < kSafetyMs && !ring_.IsFull()) Conceal(lead);
}

void CWidebandPlayout::DropFrames(int frames) {
    for (int k = 0; k < frames && !ring_.IsEmpty(); ++k) {
        stats_.trimmedMs += (kFrameSamples - frontCut_) / kStepSamples * kStepMs;
        PopFront(0);
    }
}

void CWidebandPlayout::DropSteps(int steps) {
    frontCut_ += steps * kStepSamples;
    stats_.trimmedMs += static_cast<long long>(steps) * kStepMs;
    while (frontCut_ >= kFrameSamples && !ring_.IsEmpty()) PopFront(frontCut_ - kFrameSamples);
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
    PopFront(0);
    if (made) {
        ++madeUpPlayed_;
    } else {
        ++stats_.played;
    }
    return true;
}
