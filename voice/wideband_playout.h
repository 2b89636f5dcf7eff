// The play-out buffer of wideband voice: 10 ms frames of 48,000 signed
// 16-bit samples a second, decoded from the packets that arrive.
//
// It decides as the classic buffer does (CPlayoutBuffer), through the same
// CPlayoutGate: it measures how late frames arrive (CJitterEstimator, on
// 10 ms frames), waits that long at the start of a talk, keeps a couple of
// blocks at the device and the rest here, cuts a burst beyond its bound at
// once, and trims what the leads show was never needed (CLeadTrimmer). Two
// things differ:
//   - latency is trimmed in steps of a millisecond, cut off the front of
//     the oldest waiting frame, not in whole frames, so that the lead that
//     remains sits at the target whatever the phase of the two cards;
//   - when a frame comes with less than the safety margin left, the frame
//     put in after it is the codec's own concealment (the concealer the
//     owner gives, which decodes with no packet), not a repeated pitch
//     period; and only as much of it is played as brings the lead back to
//     the target, to the millisecond (a whole frame would add latency the
//     trimmer then takes seconds to find again).
// The owner calls Add (or AddMadeUp for a packet that never came), then
// NoteLead, then TakeBlock until it returns false, and TakeBlock again on
// every tick.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>

#include "voice/frame_ring.h"
#include "voice/lead_trimmer.h"
#include "voice/playout_gate.h"

class CWidebandPlayout {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kFrameMs = 10;
    static constexpr int kFrameSamples = 480;
    static constexpr int kFrameBytes = 2 * kFrameSamples;
    // The finest cut: a millisecond of samples.
    static constexpr int kStepMs = 1;
    static constexpr int kStepSamples = kFrameSamples / kFrameMs * kStepMs;
    static constexpr int kCapacity = 100;  // a second
    static constexpr int kDeviceLead = CPlayoutGate::kDeviceLead;
    // The margin kept beyond the spread. The smallest lead of a window
    // already holds the card's step (a lead read between two steps of the
    // card is up to a step short), so less than the classic buffer's.
    static constexpr int kSafetyMs = 2;
    static constexpr int kPerGapMs = 5;

    using Frame = std::array<std::int16_t, kFrameSamples>;
    // Makes up the frame after the last one added (false when it cannot).
    using Concealer = std::function<bool(Frame&)>;

    struct Stats {
        long long added = 0;      // frames handed to Add
        long long played = 0;     // of those, handed on to the device (cut or whole)
        long long trimmedMs = 0;  // sound dropped here to bring latency down
        long long overflowed = 0; // frames dropped because the buffer was full
        long long underruns = 0;
        long long gaps = 0;
        long long concealed = 0;  // made up for packets that never came
        long long stretched = 0;  // made up to give the next frames more time
    };

    explicit CWidebandPlayout(Concealer conceal = {});

    void Reset();
    // A decoded frame that arrived at now.
    void Add(const Frame& frame, Clock::time_point now);
    // A frame made up for a packet that never came; it keeps the place of
    // the missing one and says nothing about when packets arrive.
    void AddMadeUp(const Frame& frame);
    // Frames handed on that were made up, of either kind.
    long long MadeUpPlayed() const { return madeUpPlayed_; }

    void NoteLead(Clock::time_point now, double deviceAheadMs);
    bool HasLeadToNote() const { return addedSinceLead_ > 0; }

    // Whether a block should go to the device now; the block (a whole frame,
    // or what is left of one that was cut) is copied into out with its
    // length in samples.
    bool TakeBlock(Clock::time_point now, int deviceQueued, Frame* out, int* samples, bool* madeUp = nullptr);

    int Waiting() const { return ring_.Count(); }
    // Samples waiting here.
    int WaitingSamples() const { return ring_.Count() * kFrameSamples - frontCut_; }
    bool IsPlaying() const { return gate_.IsPlaying(); }
    int StartDelayMs() const { return gate_.StartDelayMs(); }
    int TargetLeadMs() const { return gate_.TargetLeadMs(); }
    double SenderSlowMsPerFrame() const { return gate_.SenderSlowMsPerFrame(); }
    const Stats& GetStats() const { return stats_; }

private:
    void Push(const Frame& frame, bool madeUp);
    // Drops the oldest frame; carrySamples are cut off the next one.
    void PopFront(int carrySamples);
    void Conceal(double leadMs);
    void DropFrames(int frames);
    void DropSteps(int steps);

    Concealer conceal_;
    CBasicFrameRing<Frame, kCapacity> ring_;
    // A sender's card (through the server's mixer, which keeps its pace)
    // may run slow.
    CPlayoutGate gate_{kFrameMs, kStepMs, true, {kSafetyMs, kPerGapMs}};
    // Samples already cut off the front of the oldest frame.
    int frontCut_ = 0;
    // A stretch frame waiting behind this many frames (-1: none), of which
    // stretchCut_ samples are cut off the front once it is the oldest.
    int stretchAhead_ = -1;
    int stretchCut_ = 0;

    int addedSinceLead_ = 0;
    long long madeUpPlayed_ = 0;
    Stats stats_;
};
