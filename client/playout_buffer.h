// A small adaptive play-out buffer between the frames that arrive from the
// server and the sound device.
//
// Frames arrive in bursts and late (network, server, the 10 ms tick of
// sender and receiver), while the device plays one 16 ms block after the
// other. Without a buffer every late frame leaves a gap, and every burst
// stays in the device's queue as latency for the rest of the talk. This
// buffer:
//   - measures how late frames arrive against a steady 16 ms pace (the
//     spread over the last second);
//   - at the start of a talk, or after it ran dry, waits that long before
//     playing, so that the later frames are there in time;
//   - keeps only a couple of blocks queued at the device and the rest here,
//     where they can still be dropped;
//   - notes, for every frame that arrives, its lead: how long until its
//     playback begins (what the device has still to play, and the frames
//     waiting here before it);
//   - brings latency back down: when even the smallest lead of the last
//     second left a whole frame more than a small safety margin (larger
//     for a while after a gap), that many frames are dropped, oldest first
//     (those already at the device are made up for on later frames, as far
//     as their own leads allow); a level above its bound is cut at once (a
//     burst after a stall);
//   - when a frame comes with less than the safety margin left (the
//     listener's sound card plays a little faster than the speaker's
//     records, or the link got slower), puts a frame of made-up sound after
//     it, a continuation of the voice at its pitch, so that the next frames
//     have a frame's length more time instead of the card running dry.
// A frame that arrives after the device has run dry is a gap.
//
// The device below keeps its own rules; this class only decides when to
// hand a frame on. No widgets, no threads: the owner calls Add for each
// frame that arrives and FeedDevice after it and on every tick (or
// NoteLead and TakeFrame, with a device of its own).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

class CWaveDevice;

class CPlayoutBuffer {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kFrameBytes = 128;
    static constexpr int kFrameMs = 16;
    // Frames held here at most (about a second); the oldest goes first.
    static constexpr int kCapacity = 64;
    // Blocks kept queued at the device while frames wait here: enough to
    // bridge a late tick, few enough to leave the rest droppable.
    static constexpr int kDeviceLead = 2;
    // The lead kept at the latest arrival of a window, at least: enough for
    // a frame a little later than any of the last second, that is
    // kSafetyMs and a share (1/kSpreadShare) of the spread of lateness; a
    // frame's length more for each recent gap (up to kMaxGapPenalty), given
    // back after kGapMemoryMs without one.
    static constexpr int kSafetyMs = 4;
    static constexpr int kSpreadShare = 4;
    static constexpr int kMaxGapPenalty = 3;
    static constexpr int kGapMemoryMs = 10000;
    // Running dry and getting the next frame within this long is a gap in
    // the talk, not its end.
    static constexpr int kGapMs = 150;
    // Bounds of the wait before playing starts.
    static constexpr int kMinStartMs = 0;
    static constexpr int kMaxStartMs = 96;
    // The wait while nothing has been measured yet.
    static constexpr int kDefaultStartMs = 64;
    // The level (frames waiting here and at the device) is cut at once to
    // the start wait, the device's lead and this many frames more.
    static constexpr int kBoundSlack = 2;
    // How far back arrival lateness (a second of frames) and the smallest
    // lead are looked at.
    static constexpr int kJitterWindowFrames = 62;
    static constexpr int kTrimWindowMs = 1000;
    // A surplus up to this many frames is dropped only when two windows in
    // a row had it.
    static constexpr int kSmallSurplus = 2;

    using Frame = std::array<std::uint8_t, kFrameBytes>;

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

    // Every frame is handed on at once, as it arrives, with no measuring
    // and no dropping here: the behaviour before this buffer existed (for
    // comparing the two).
    void SetPassThrough(bool on) { passThrough_ = on; }
    bool IsPassThrough() const { return passThrough_; }

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

    // Whether a frame should go to the device now, given how many blocks
    // the device still has queued; the frame is copied into out, and
    // madeUp tells whether it is sound made up here. Call until it returns
    // false, counting each block handed on as queued.
    bool TakeFrame(Clock::time_point now, int deviceQueued, Frame* out, bool* madeUp = nullptr);

    // Hands the device every frame that is due now (PlayFrame), and returns
    // how many of the frames that arrived it took (made-up ones not
    // counted). A device that was closed or opened anew since the last call
    // starts the buffer afresh; with no playback open the frames are
    // forgotten.
    int FeedDevice(CWaveDevice& device);

    // Frames waiting here.
    int Waiting() const { return count_; }
    bool IsPlaying() const { return playing_; }
    // The wait before playing starts, from the lateness measured lately.
    int StartDelayMs() const;
    // The smallest lead a window may leave, in milliseconds.
    int TargetLeadMs() const;
    const Stats& GetStats() const { return stats_; }

private:
    void DropOldest();
    // Where the next frame queued goes.
    std::size_t TailSlot() const { return static_cast<std::size_t>((head_ + count_) % kCapacity); }
    // Queues a frame of sound that goes on from the last one queued.
    void Stretch();
    void Remember(const Frame& frame);
    void MeasureArrival(Clock::time_point now);
    // Closes the trim window once it is a second long.
    void CloseTrimWindow(Clock::time_point now);

    bool passThrough_ = false;

    std::array<Frame, kCapacity> frames_{};
    std::array<bool, kCapacity> madeUp_{};
    int head_ = 0;
    int count_ = 0;

    bool playing_ = false;
    Clock::time_point firstWaiting_{};  // arrival of the oldest frame while not playing

    // Arrival pace: frames since the pace was last set, and when it was set.
    bool paced_ = false;
    Clock::time_point paceStart_{};
    long long paceFrames_ = 0;
    Clock::time_point lastArrival_{};
    // How late each recent frame was against the earliest pace (ms).
    std::array<double, kJitterWindowFrames> lateness_{};
    std::array<double, kJitterWindowFrames> offsets_{};
    int measured_ = 0;
    int measureNext_ = 0;

    // Gaps remembered, and when the last one was (or the penalty last eased).
    bool emptying_ = false;  // nothing left here or at the device
    Clock::time_point emptySince_{};
    bool ranDry_ = false;
    Clock::time_point ranDryAt_{};
    int gapPenalty_ = 0;
    Clock::time_point lastGap_{};

    // Smallest lead since the trim window began, and the frames still to be
    // dropped as they come (what the window found waiting at the device).
    Clock::time_point trimWindowStart_{};
    double smallestLead_ = 0;
    int lastSurplus_ = 0;
    bool trimWindowOpen_ = false;
    int pendingDrop_ = 0;
    // Frames added since the lead was last noted.
    int addedSinceLead_ = 0;
    // The sound last queued here, for a continuation of it.
    std::array<std::uint8_t, 2 * kFrameBytes> history_{};

    // The device last fed, to notice a new session, and the frames added
    // since it was last fed.
    std::uint32_t deviceId_ = 0;
    int addedSinceFeed_ = 0;

    Stats stats_;
};
