// A small adaptive play-out buffer between the frames that arrive from the
// server and the sound device.
//
// Frames arrive in bursts and late (network, server, the 10 ms tick of
// sender and receiver), while the device plays one 16 ms block after the
// other. Without a buffer every late frame leaves a gap, and every burst
// stays in the device's queue as latency for the rest of the talk. This
// buffer:
//   - measures how late frames arrive (CJitterEstimator);
//   - at the start of a talk, or after it ran dry, waits that long before
//     playing, so that the later frames are there in time;
//   - keeps only a couple of blocks queued at the device and the rest here
//     (CFrameRing), where they can still be dropped;
//   - notes, for every frame that arrives, its lead: how long until its
//     playback begins (what the device has still to play, and the frames
//     waiting here before it), and drops what the leads show was never
//     needed (CLeadTrimmer); a level above its bound is cut at once (a
//     burst after a stall);
//   - when a frame comes with less than the safety margin left (the
//     listener's sound card plays a little faster than the speaker's
//     records, or the link got slower), puts a frame of made-up sound after
//     it, a continuation of the voice at its pitch, so that the next frames
//     have a frame's length more time instead of the card running dry.
// A frame that arrives after the device has run dry is a gap.
//
// When to start, when playback has run dry and where a burst is cut is
// CPlayoutGate's to say, as for the wideband buffer.
//
// The device below keeps its own rules; this class only decides when to
// hand a frame on. No widgets, no threads, no device: the owner calls Add
// for each frame that arrives, then NoteLead, then TakeFrame until it
// returns false, and TakeFrame again on every tick (CPlaybackFeed does so
// for a CWaveDevice).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "voice/frame.h"
#include "voice/frame_ring.h"
#include "voice/jitter_estimator.h"
#include "voice/lead_trimmer.h"
#include "voice/playout_gate.h"

class CPlayoutBuffer {
public:
    using Clock = std::chrono::steady_clock;
    using Frame = voice::Frame;

    static constexpr int kFrameBytes = voice::kFrameBytes;
    static constexpr int kFrameMs = voice::kFrameMs;
    static constexpr int kCapacity = CFrameRing::kCapacity;
    static constexpr int kDefaultStartMs = CJitterEstimator::kDefaultStartMs;
    static constexpr int kMaxStartMs = CJitterEstimator::kMaxStartMs;
    static constexpr int kSafetyMs = CLeadTrimmer::kSafetyMs;
    static constexpr int kDeviceLead = CPlayoutGate::kDeviceLead;

    struct Stats {
        long long added = 0;      // frames handed to Add
        long long played = 0;     // frames that arrived, handed on to the device
        long long trimmed = 0;    // dropped here to bring latency down
        long long overflowed = 0; // dropped because the buffer was full
        long long underruns = 0;  // times playback ended (the talk, or a long gap)
        long long gaps = 0;       // frames that came after the device ran dry
        long long stretched = 0;  // frames of made-up sound put in
    };

    CPlayoutBuffer();

    // Forgets every waiting frame and what was measured (a new session).
    void Reset();

    // A frame that arrived at now; bytes beyond kFrameBytes are ignored and
    // a shorter frame is filled up with silence.
    void Add(const std::uint8_t* data, int bytes, Clock::time_point now);

    // After Add, before TakeFrame: the device has deviceAheadMs of sound
    // still to play before anything handed on now. Notes the lead of the
    // frames added since the last call, and drops what a window's smallest
    // lead shows was never needed.
    void NoteLead(Clock::time_point now, double deviceAheadMs);
    // Frames were added since the lead was last noted.
    bool HasLeadToNote() const { return addedSinceLead_ > 0; }

    // Whether a frame should go to the device now, given how many blocks
    // the device still has queued; the frame is copied into out, and
    // madeUp tells whether it is sound made up here. Call until it returns
    // false, counting each block handed on as queued.
    bool TakeFrame(Clock::time_point now, int deviceQueued, Frame* out, bool* madeUp = nullptr);

    // Forgets all but the newest frames waiting (the older ones were of a
    // session that has ended).
    void KeepNewest(int frames) { ring_.KeepNewest(frames); }

    // Frames waiting here.
    int Waiting() const { return ring_.Count(); }
    bool IsPlaying() const { return gate_.IsPlaying(); }
    // The wait before playing starts, from the lateness measured lately.
    int StartDelayMs() const { return gate_.StartDelayMs(); }
    // The smallest lead a window may leave, in milliseconds.
    int TargetLeadMs() const { return gate_.TargetLeadMs(); }
    const Stats& GetStats() const { return stats_; }

private:
    // Queues a frame of sound that goes on from the last one queued.
    void Stretch();
    void Remember(const Frame& frame);
    void DropWaiting(int frames);

    CFrameRing ring_;
    CPlayoutGate gate_{kFrameMs};
    // Frames added since the lead was last noted.
    int addedSinceLead_ = 0;
    // The sound last queued here, for a continuation of it.
    std::array<std::uint8_t, 2 * kFrameBytes> history_{};

    Stats stats_;
};
