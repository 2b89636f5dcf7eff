// The play-out buffer against a simulated device and simulated time (a
// device that takes one block every 16 ms, a receiver that runs every
// 10 ms).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "playout_simulation.h"
#include "sound_fixture.h"
#include "voice/playout_buffer.h"
#include "voice/playout_gate.h"

using namespace playoutsim;
using voicetest::IsSilence;

TEST(PlayoutBuffer, SteadyArrivalsPlayEveryFrameInOrderWithoutGapsAndWithLittleDelay) {
    CPlayoutBuffer buffer;
    const int frames = 600;
    const Played p = Simulate(buffer, Arrivals(frames, 0), frames * 16.0 + 500);
    // Until a window of arrivals is measured the start waits the default;
    // once the pace is known at most those frames are trimmed, and after
    // that every frame plays, back to back.
    const int startFrames = CPlayoutBuffer::kDefaultStartMs / CPlayoutBuffer::kFrameMs + 1;
    EXPECT_LE(buffer.GetStats().trimmed, startFrames);
    EXPECT_EQ(p.Gaps(), 0);
    const std::vector<int> heard = p.Heard();
    ASSERT_GE(heard.size(), static_cast<std::size_t>(frames - startFrames));
    EXPECT_EQ(heard.back(), frames - 1);
    for (std::size_t i = heard.size() - 400; i < heard.size(); ++i) EXPECT_EQ(heard[i], heard[i - 1] + 1);
    // Capture (16 ms), the two ticks and the device's block: nothing waits
    // beyond what the pace needs.
    for (int k = 200; k < frames; ++k) EXPECT_LE(LatencyOf(p, k), 16.0 + 20 + 2 * 16) << k;
    EXPECT_EQ(buffer.Waiting(), 0);
    // Once the pace is known the wait is what it shows, the spread of the
    // two 10 ms ticks, and no longer the default kept until then.
    EXPECT_LT(buffer.StartDelayMs(), CPlayoutBuffer::kDefaultStartMs);
    EXPECT_LE(buffer.StartDelayMs(), 10);
}

// Whatever the device's phase against capture, steady arrivals settle at
// the lowest latency at which every frame still reaches the device the
// safety margin before its block begins, and not a frame later.
TEST(PlayoutBuffer, SteadyArrivalsSettleAtTheLowestLatencyThatKeepsTheSafetyMargin) {
    const int frames = 900;
    const std::vector<double> arrivals = Arrivals(frames, 0);
    for (int phase = 0; phase < 16; ++phase) {
        SCOPED_TRACE(phase);
        const double phaseMs = phase + 0.5;
        CPlayoutBuffer buffer;
        const Played p = Simulate(buffer, arrivals, frames * 16.0 + 500, phaseMs);
        // A frame is handed on at the first tick after its arrival; the
        // block it plays in must begin the margin after that tick.
        int lead = 0;
        for (int k = 0; k < frames; ++k) {
            const double handedOn = std::ceil(arrivals[static_cast<std::size_t>(k)] / 10.0) * 10.0;
            while (phaseMs + 16.0 * (k + lead) - handedOn < buffer.TargetLeadMs()) ++lead;
        }
        const double lowest = phaseMs + 16.0 * lead;
        EXPECT_EQ(p.Gaps(), 0);
        for (int k = 300; k < frames; ++k) ASSERT_DOUBLE_EQ(LatencyOf(p, k), lowest) << k;
    }
}

// Also when sender and receiver act on each frame at once, so that the first
// frames of a talk may come in a burst that says nothing of the spread yet.
TEST(PlayoutBuffer, JitteryArrivalsAreWaitedForSoNothingIsMissingAndNoGapOpens) {
    for (int tickMs : {10, 1})
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(testing::Message() << "tick " << tickMs << " seed " << seed);
        CPlayoutBuffer buffer;
        const int frames = 900;
        const Played p = Simulate(buffer, Arrivals(frames, 40, seed, -1, 0, tickMs), frames * 16.0 + 500, 3, tickMs);
        EXPECT_EQ(p.Gaps(), 0);
        const std::vector<int> heard = p.Heard();
        EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
        // At most the frames of the first window go while the wait is learnt.
        EXPECT_GE(static_cast<int>(heard.size()), frames - 5);
        EXPECT_GE(buffer.StartDelayMs(), 30);
        EXPECT_LE(buffer.StartDelayMs(), CPlayoutBuffer::kMaxStartMs);
        for (int k = 200; k < frames; ++k) {
            if (p.startMs.count(k)) {
                EXPECT_LE(LatencyOf(p, k), 16.0 + 10 + 40 + 3 * 16) << k;
            }
        }
    }
}

TEST(PlayoutBuffer, AfterAStallTheOldestFramesGoAndLatencyComesBackWithinTwoSeconds) {
    CPlayoutBuffer buffer;
    const int frames = 500;
    // Frames from 150 on are held until 500 ms after frame 150 was due.
    const double stallEnd = 151 * 16.0 + 500;
    const Played p = Simulate(buffer, Arrivals(frames, 0, 7, 150, stallEnd), frames * 16.0 + 500);
    const std::vector<int> heard = p.Heard();
    EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
    EXPECT_GT(buffer.GetStats().trimmed, 20) << "the held-up frames were not dropped";
    // The held-up frames that were kept are the newest of the burst.
    const int firstAfter = *std::upper_bound(heard.begin(), heard.end(), 149);
    EXPECT_GT(firstAfter, 170);
    // Bounded at once, and back to the steady delay within two seconds.
    for (int k : heard) {
        if (k < 150) continue;
        EXPECT_LE(LatencyOf(p, k), 600.0 + 16 * 8) << k;
        if (p.startMs.at(k) > stallEnd + 2000) {
            EXPECT_LE(LatencyOf(p, k), 100.0) << k;
        }
    }
    EXPECT_EQ(heard.back(), frames - 1);
}

// Frames held up beyond their margin: the device runs dry once, the buffer
// counts that gap, and for a while keeps a frame more of margin rather than
// trimming back to where the gap happened, so that a hold as long a little
// later passes without a drop-out. Held 36 ms, the frame comes while the
// device's last block still sounds; held 40 ms or 100 ms, playback has
// ended by then, and the frame comes soon enough to be a gap of the same
// talk, not a new talk.
TEST(PlayoutBuffer, AGapIsCountedAndBuysAFrameMoreOfMarginForAWhile) {
    const int frames = 600;
    CPlayoutBuffer steady;
    Simulate(steady, Arrivals(frames, 0), frames * 16.0 + 500);
    for (double holdMs : {36.0, 40.0, 100.0}) {
        SCOPED_TRACE(holdMs);
        CPlayoutBuffer buffer;
        std::vector<double> arrivals = Arrivals(frames, 0);
        const auto hold = [&](int from, double ms) {
            const double heldUntil = arrivals[static_cast<std::size_t>(from)] + ms;
            for (int k = from; k < frames; ++k) {
                auto& at = arrivals[static_cast<std::size_t>(k)];
                at = std::max(at, heldUntil);
            }
        };
        hold(300, holdMs);
        hold(450, 36);  // again, 2.4 s later
        const Played p = Simulate(buffer, arrivals, frames * 16.0 + 500);
        EXPECT_GE(p.Gaps(), 1);  // silence, until the held frame is there
        EXPECT_EQ(p.GapsAfter(400), 0) << "the second hold dropped out too";
        EXPECT_EQ(buffer.GetStats().gaps, 1);
        // Playback ended at the end of the talk, and after the first hold
        // too when it was long; not after the second.
        EXPECT_EQ(buffer.GetStats().underruns, holdMs < 40 ? 1 : 2);
        EXPECT_EQ(buffer.TargetLeadMs(), steady.TargetLeadMs() + CPlayoutBuffer::kFrameMs);
        const std::vector<int> heard = p.Heard();
        EXPECT_EQ(heard.back(), frames - 1);
        const double before = LatencyOf(p, 250);
        for (int k = 500; k < frames; ++k) EXPECT_DOUBLE_EQ(LatencyOf(p, k), before + CPlayoutBuffer::kFrameMs) << k;
    }
}

// Two sound cards never run at quite the same pace. A listener's card that
// plays faster than the speaker's records gains on the frames, a millisecond
// every second at 1000 ppm: without help it runs dry every few seconds once
// the margin is used up. The buffer puts in a made-up frame instead, only
// when a frame came with less than the margin left; a card that plays
// slower is trimmed and never gets made-up sound.
TEST(PlayoutBuffer, ACardFasterThanTheFramesHearsMadeUpSoundInsteadOfGapsAndASlowerOneIsTrimmed) {
    const int frames = 3000;  // 48 s
    for (int tickMs : {10, 1})
    for (double jitterMs : {0.0, 40.0})
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(testing::Message() << "tick " << tickMs << " jitter " << jitterMs << " seed " << seed);
        const std::vector<double> arrivals = Arrivals(frames, jitterMs, seed, -1, 0, tickMs);
        {
            CPlayoutBuffer buffer;
            const Played p = Simulate(buffer, arrivals, frames * 16.0 + 500, 3, tickMs, 16.0 * (1 - 0.001));
            EXPECT_EQ(p.Gaps(), 0);
            EXPECT_EQ(buffer.GetStats().gaps, 0);
            // 48 ms gained over the talk: a made-up frame for every 16 of
            // them, and no more than a couple besides.
            EXPECT_GE(p.MadeUp(), 2);
            EXPECT_LE(p.MadeUp(), 6);
            EXPECT_EQ(p.MadeUp(), buffer.GetStats().stretched);
            const std::vector<int> heard = p.Heard();
            EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
            EXPECT_EQ(static_cast<long long>(heard.size()) + buffer.GetStats().trimmed, frames);
            for (int k = 300; k < frames; ++k) {
                if (p.startMs.count(k)) {
                    EXPECT_LE(LatencyOf(p, k), 16.0 + tickMs + jitterMs + 3 * 16) << k;
                }
            }
        }
        {
            CPlayoutBuffer buffer;
            const Played p = Simulate(buffer, arrivals, frames * 16.0 + 500, 3, tickMs, 16.0 * (1 + 0.001));
            EXPECT_EQ(p.Gaps(), 0);
            EXPECT_EQ(p.MadeUp(), 0);
            EXPECT_GE(buffer.GetStats().trimmed, 2);
            for (int k = 300; k < frames; ++k) {
                if (p.startMs.count(k)) {
                    EXPECT_LE(LatencyOf(p, k), 16.0 + tickMs + jitterMs + 3 * 16 + k * 0.016) << k;
                }
            }
        }
    }
}

// Ten frames at once, then a steady pace: the first ten are a standing
// queue that nothing needs, and go once a window has shown it. If the link
// gets slower (40 ms, for good) while they go, the frames after the step
// still make their turn: only as many go as the frames' leads allow. (A
// step after the queue has gone leaves a gap, which is no fault.)
TEST(PlayoutBuffer, AStandingSurplusIsTrimmedAfterASecondButNotBeyondWhatTheLinkLeaves) {
    std::vector<double> steady = Arrivals(400, 0);
    for (int k = 0; k < 10; ++k) steady[static_cast<std::size_t>(k)] = steady[10];
    CPlayoutBuffer undisturbed;
    const Played first = Simulate(undisturbed, steady, 400 * 16.0 + 500);
    EXPECT_GT(undisturbed.GetStats().trimmed, 0);
    EXPECT_EQ(first.Gaps(), 0);
    for (int k = 150; k < 400; ++k) {
        if (first.startMs.count(k)) {
            EXPECT_LE(LatencyOf(first, k), 16.0 + 20 + 2 * 16) << k;
        }
    }
    ASSERT_GT(first.lastTrimMs, 1000);

    int closeToTheTrim = 0;
    for (int from = 20; from < 200; ++from) {
        std::vector<double> arrivals = steady;
        for (int k = from; k < 400; ++k) arrivals[static_cast<std::size_t>(k)] += 40;
        if (arrivals[static_cast<std::size_t>(from)] > first.lastTrimMs) break;
        SCOPED_TRACE(from);
        if (arrivals[static_cast<std::size_t>(from)] > first.lastTrimMs - 4 * 16) ++closeToTheTrim;
        CPlayoutBuffer buffer;
        const Played p = Simulate(buffer, arrivals, 400 * 16.0 + 500);
        EXPECT_EQ(p.Gaps(), 0);
        EXPECT_EQ(buffer.GetStats().gaps, 0);
        const std::vector<int> heard = p.Heard();
        EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
        EXPECT_EQ(heard.back(), 399);
        for (int k = 150; k < 400; ++k) {
            if (p.startMs.count(k)) {
                EXPECT_LE(LatencyOf(p, k), 16.0 + 20 + 2 * 16 + 40) << k;
            }
        }
    }
    EXPECT_GE(closeToTheTrim, 3);
}

TEST(PlayoutBuffer, PlayingStartsOnceTheFirstFrameHasWaitedAndTheLastFrameOfATalkIsPlayed) {
    CPlayoutBuffer buffer;
    EXPECT_EQ(buffer.StartDelayMs(), CPlayoutBuffer::kDefaultStartMs);
    const auto f = Tagged(1);
    buffer.Add(f.data(), CPlayoutBuffer::kFrameBytes, At(1000));
    CPlayoutBuffer::Frame out{};
    EXPECT_FALSE(buffer.TakeFrame(At(1000), 0, &out));
    EXPECT_FALSE(buffer.TakeFrame(At(1000 + CPlayoutBuffer::kDefaultStartMs - 1), 0, &out));
    EXPECT_FALSE(buffer.IsPlaying());
    ASSERT_TRUE(buffer.TakeFrame(At(1000 + CPlayoutBuffer::kDefaultStartMs), 0, &out));
    EXPECT_EQ(TagOf(out), 1);
    EXPECT_TRUE(buffer.IsPlaying());
    EXPECT_FALSE(buffer.TakeFrame(At(1100), 1, &out));
    // The device has nothing queued, but its last block may still sound:
    // only a block later has it run dry. The talk is over, the next one
    // waits again.
    EXPECT_FALSE(buffer.TakeFrame(At(1120), 0, &out));
    EXPECT_TRUE(buffer.IsPlaying());
    EXPECT_FALSE(buffer.TakeFrame(At(1120 + CPlayoutBuffer::kFrameMs), 0, &out));
    EXPECT_FALSE(buffer.IsPlaying());
    EXPECT_EQ(buffer.GetStats().underruns, 1);

    // Enough frames to cover the wait start playing at once (the wait is
    // still the default: a window of arrivals has not been measured).
    EXPECT_EQ(buffer.StartDelayMs(), CPlayoutBuffer::kDefaultStartMs);
    for (int k = 2; k < 2 + CPlayoutBuffer::kDefaultStartMs / CPlayoutBuffer::kFrameMs + 1; ++k) {
        const auto g = Tagged(k);
        buffer.Add(g.data(), CPlayoutBuffer::kFrameBytes, At(3000));
    }
    ASSERT_TRUE(buffer.TakeFrame(At(3000), 0, &out));
    EXPECT_EQ(TagOf(out), 2);
    ASSERT_TRUE(buffer.TakeFrame(At(3000), 1, &out));
    EXPECT_EQ(TagOf(out), 3);
    EXPECT_FALSE(buffer.TakeFrame(At(3000), CPlayoutBuffer::kDeviceLead, &out)) << "the device has its lead";
    EXPECT_EQ(buffer.Waiting(), 3);
}

TEST(PlayoutBuffer, HoldsAtMostItsCapacityAndFillsAShortFrameWithSilence) {
    CPlayoutBuffer buffer;
    for (int k = 0; k < 100; ++k) {
        const auto f = Tagged(k);
        buffer.Add(f.data(), CPlayoutBuffer::kFrameBytes, At(0));
    }
    EXPECT_EQ(buffer.Waiting(), CPlayoutBuffer::kCapacity);
    EXPECT_EQ(buffer.GetStats().overflowed, 100 - CPlayoutBuffer::kCapacity);
    buffer.Reset();
    EXPECT_EQ(buffer.Waiting(), 0);

    // Enough frames behind them to start playing at once.
    const std::uint8_t part[3] = {4, 8, 12};
    buffer.Add(part, 3, At(0));
    buffer.Add(nullptr, 128, At(0));
    for (int k = 0; k < 3; ++k) buffer.Add(Tagged(k).data(), CPlayoutBuffer::kFrameBytes, At(0));
    CPlayoutBuffer::Frame out{};
    ASSERT_TRUE(buffer.TakeFrame(At(0), 0, &out));
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[2], 12);
    EXPECT_TRUE(IsSilence(out.data() + 3, CPlayoutBuffer::kFrameBytes - 3));
    ASSERT_TRUE(buffer.TakeFrame(At(0), 0, &out));
    EXPECT_TRUE(IsSilence(out.data(), CPlayoutBuffer::kFrameBytes));
}

// The gate on its own, at 10 ms frames: its rules follow the frame length
// it is given, not the classic buffer's 16 ms.
TEST(PlayoutGate, RunsDryOnlyAfterAWholeFrameOfAnEmptyDeviceAndAFrameSoonAfterIsAGap) {
    CPlayoutGate gate(10);
    EXPECT_FALSE(gate.NoteArrival(At(1000), true));
    ASSERT_TRUE(gate.MayPlay(At(1000 + CJitterEstimator::kDefaultStartMs), 1));
    EXPECT_FALSE(gate.NoteEmpty(At(1100), 1)) << "the device still has a block";
    EXPECT_FALSE(gate.NoteEmpty(At(1200), 0));
    // A frame in between: the device's wait starts afresh after it.
    EXPECT_TRUE(gate.MayPlay(At(1205), 1));
    EXPECT_FALSE(gate.NoteEmpty(At(1209), 0));
    EXPECT_FALSE(gate.NoteEmpty(At(1218), 0));
    EXPECT_TRUE(gate.IsPlaying());
    EXPECT_TRUE(gate.NoteEmpty(At(1219), 0));
    EXPECT_FALSE(gate.IsPlaying());
    EXPECT_FALSE(gate.NoteEmpty(At(1300), 0)) << "it ran dry once";

    // The next frame soon after is a gap; the frames behind it are not.
    EXPECT_TRUE(gate.NoteArrival(At(1219 + CPlayoutGate::kGapMs - 1), true));
    EXPECT_FALSE(gate.NoteArrival(At(1219 + CPlayoutGate::kGapMs), false));
    ASSERT_TRUE(gate.MayPlay(At(2000), 1));
    EXPECT_FALSE(gate.NoteEmpty(At(2000), 0));
    EXPECT_TRUE(gate.NoteEmpty(At(2010), 0));
    EXPECT_FALSE(gate.NoteArrival(At(2010 + CPlayoutGate::kGapMs), true)) << "the end of a talk";
}

TEST(PlayoutGate, StartsAfterTheWaitOrWhenTheFramesCoverItAndCutsABurstBeyondTheBound) {
    CPlayoutGate gate(10);
    const int wait = CJitterEstimator::kDefaultStartMs;
    ASSERT_EQ(gate.StartDelayMs(), wait);
    gate.NoteArrival(At(1000), true);
    EXPECT_FALSE(gate.MayPlay(At(1000 + wait - 1), wait / 10));
    EXPECT_FALSE(gate.IsPlaying());
    EXPECT_TRUE(gate.MayPlay(At(1000), wait / 10 + 1)) << "the frames cover the wait";
    EXPECT_TRUE(gate.IsPlaying());

    // The bound: the wait in whole frames, rounded up, the device's lead
    // and the slack.
    const int bound = (wait + 9) / 10 + CPlayoutGate::kDeviceLead + CPlayoutGate::kBoundSlack;
    EXPECT_EQ(gate.CutBurst(bound - 1, 1), 0);
    EXPECT_EQ(gate.CutBurst(bound, 1), 1);
    EXPECT_EQ(gate.CutBurst(bound + 5, 0), 5);
    EXPECT_EQ(gate.CutBurst(3, bound + 4), 3) << "no more than is waiting";

    CPlayoutGate other(10);
    other.NoteArrival(At(1000), true);
    EXPECT_FALSE(other.MayPlay(At(1000 + wait - 1), 1));
    EXPECT_TRUE(other.MayPlay(At(1000 + wait), 1)) << "the first frame has waited";
}

// After a gap the frame that ends it has already used up as much of the
// start wait as it came late: it waits what is left of the spread, and at
// least the trimmer's target lead. A frame after a pause in the talk waits
// the whole start delay (the hole in the pace reads as lateness).
TEST(PlayoutGate, AfterAGapALateFrameWaitsOnlyWhatItsLatenessLeavesOfTheSpread) {
    // A window of 10 ms frames, one in ten held 30 ms (order kept, so the
    // frames behind it come with it): a spread of 30 ms.
    const auto measured = [](CPlayoutGate& gate) {
        double at = 0;
        for (int k = 0; k < 100; ++k) {
            at = std::max(at, 1000.0 + 10 * k + (k % 10 == 5 ? 30 : 0));
            gate.NoteArrival(At(at), k == 0);
            if (k == 0) {
                ASSERT_TRUE(gate.MayPlay(At(at + CJitterEstimator::kDefaultStartMs), 1));
            }
        }
        ASSERT_EQ(gate.StartDelayMs(), 30);
        // Playback runs dry (frame 100 is due at 2000).
        EXPECT_FALSE(gate.NoteEmpty(At(1991), 0));
        ASSERT_TRUE(gate.NoteEmpty(At(2001), 0));
    };
    const int target = CLeadTrimmer::kSafetyMs + 30 / CLeadTrimmer::kSpreadShare + 10;  // with the gap's 10

    CPlayoutGate late(10);
    measured(late);
    ASSERT_TRUE(late.NoteArrival(At(2030), true));  // 30 ms late: a gap
    EXPECT_EQ(late.TargetLeadMs(), target);
    EXPECT_DOUBLE_EQ(late.StartWaitMs(), target) << "30 ms late of a 30 ms spread: the target is left";
    EXPECT_FALSE(late.MayPlay(At(2030 + target - 1), 1));
    EXPECT_TRUE(late.MayPlay(At(2030 + target), 1));

    CPlayoutGate barely(10);
    measured(barely);
    ASSERT_TRUE(barely.NoteArrival(At(2002), true));  // 2 ms late
    EXPECT_DOUBLE_EQ(barely.StartWaitMs(), 28);
    EXPECT_FALSE(barely.MayPlay(At(2002 + 27), 2));
    EXPECT_TRUE(barely.MayPlay(At(2002 + 28), 1));

    CPlayoutGate paused(10);
    measured(paused);
    ASSERT_FALSE(paused.NoteArrival(At(2001 + CPlayoutGate::kGapMs + 50), true)) << "a pause, not a gap";
    EXPECT_EQ(paused.StartDelayMs(), CJitterEstimator::kMaxStartMs);
    EXPECT_DOUBLE_EQ(paused.StartWaitMs(), CJitterEstimator::kMaxStartMs);
    EXPECT_FALSE(paused.MayPlay(At(2001 + CPlayoutGate::kGapMs + 50 + CJitterEstimator::kMaxStartMs - 1), 1));
}
