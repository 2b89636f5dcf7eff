// The wideband play-out buffer against a simulated card that takes 10 ms of
// samples per period at a phase of its own: the latency it settles at, for
// every phase, what it makes up and when, and the jitter estimator and the
// lead trimmer at 10 ms frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <random>
#include <vector>

#include "platform/sound.h"
#include "voice/wideband_playout.h"

namespace {

using Clock = CWidebandPlayout::Clock;
using Frame = CWidebandPlayout::Frame;
constexpr int kSamples = CWidebandPlayout::kFrameSamples;
// What the client's card takes at a time at 48 kHz.
constexpr int kCardPeriodSamples = static_cast<int>(platform::DeviceStepFrames(48000));

Clock::time_point At(double ms) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms)));
}

// Frame k holds k in every sample; made-up frames hold -1.
Frame Tagged(int k) {
    Frame f;
    f.fill(static_cast<std::int16_t>(k));
    return f;
}

struct Result {
    // Frame tag -> when its last sample was heard, less when it was recorded.
    std::vector<double> latencyMs;
    int madeUpBlocks = 0;
    std::vector<int> madeUpSamples;  // of each made-up block
    int silentPeriods = 0;  // periods, after the first sound, with a sample missing
};

// Frame k is recorded from k * 10 ms and arrives at arrivalMs[k]; the
// receiver handles each arrival at once and ticks every 10 ms; the card
// takes a period of samples at a time from phaseMs on (240 samples, as the
// client's card does at 48 kHz) and plays them until it takes the next. The
// receiver tells the buffer how long before the card takes what it is
// handed now, as the client does: what is still to be heard, less half a
// period.
// feedOnPeriod: the receiver also hands blocks on as each period is taken
// (else only on arrivals and ticks, as the client does). From deafFromMs
// until deafToMs the receiver neither ticks nor feeds the card (its thread
// held up with the link), though the card plays on.
Result Simulate(CWidebandPlayout& buffer, const std::vector<double>& arrivalMs, double phaseMs, double endMs,
                int periodSamples = kCardPeriodSamples, bool feedOnPeriod = true, double deafFromMs = -1, double deafToMs = -1) {
    const double periodMs = periodSamples / 48.0;
    struct Block {
        std::vector<std::int16_t> samples;
        size_t taken = 0;
    };
    std::deque<Block> queue;
    Result result;
    result.latencyMs.assign(arrivalMs.size(), -1);
    double heardEnd = 0;  // when the last sample taken is heard
    bool sounded = false;
    const auto unplayedMs = [&](double now) {
        double ms = std::max(0.0, heardEnd - now);
        for (const Block& b : queue) ms += static_cast<double>(b.samples.size() - b.taken) / 48.0;
        return ms;
    };
    const auto feed = [&](double now) {
        if (buffer.HasLeadToNote()) buffer.NoteLead(At(now), std::max(0.0, unplayedMs(now) - periodMs / 2));
        Frame f;
        int n = 0;
        bool madeUp = false;
        // As the client counts it: whole frames' worth of sound at the card,
        // at least one while it has any.
        const auto held = [&] {
            const double frames = unplayedMs(now) * 48 / kSamples;
            return frames <= 0 ? 0 : std::max(1, static_cast<int>(frames + 1e-9));
        };
        while (buffer.TakeBlock(At(now), held(), &f, &n, &madeUp)) {
            queue.push_back(Block{std::vector<std::int16_t>(f.begin(), f.begin() + n), 0});
        }
    };
    size_t next = 0;
    double nextPeriod = phaseMs;
    double nextTick = 0.5;
    for (double now = 0; now < endMs; now += 1.0 / 48) {
        while (next < arrivalMs.size() && arrivalMs[next] <= now) {
            buffer.Add(Tagged(static_cast<int>(next)), At(now));
            ++next;
            feed(now);
        }
        const bool deaf = now >= deafFromMs && now < deafToMs;
        if (now >= nextTick) {
            if (!deaf) feed(now);
            nextTick += 10;
        }
        if (now >= nextPeriod) {
            // One period, heard one sample after the other from now.
            int got = 0;
            while (got < periodSamples && !queue.empty()) {
                Block& b = queue.front();
                const std::int16_t tag = b.samples[b.taken];
                ++b.taken;
                const double heard = now + got / 48.0;
                if (tag < 0 && b.taken == 1) {
                    ++result.madeUpBlocks;
                    result.madeUpSamples.push_back(static_cast<int>(b.samples.size()));
                }
                if (tag >= 0 && b.taken == b.samples.size()) {
                    result.latencyMs[static_cast<size_t>(tag)] = heard - (tag * 10.0 + (kSamples - 1) / 48.0);
                }
                ++got;
                if (b.taken == b.samples.size()) queue.pop_front();
            }
            if (got > 0) {
                sounded = true;
                heardEnd = now + periodMs;
            }
            if (sounded && got < periodSamples && next < arrivalMs.size()) ++result.silentPeriods;
            nextPeriod += periodMs;
            if (feedOnPeriod && !deaf) feed(now);
        }
    }
    return result;
}

std::vector<double> Steady(int frames, double transitMs) {
    std::vector<double> out;
    for (int k = 0; k < frames; ++k) out.push_back(k * 10.0 + 10.0 + transitMs);
    return out;
}

double Median(std::vector<double> v) {
    v.erase(std::remove(v.begin(), v.end(), -1.0), v.end());
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

std::vector<double> Slice(const std::vector<double>& v, size_t from, size_t to) {
    return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

// Trimmed by the millisecond, the latency without jitter settles at the
// same place whatever the phase of the card against the frames; trimmed in
// whole frames it would sit anywhere in a band a frame wide.
TEST(WidebandPlayout, WithoutJitterTheSettledLatencyIsTheSameInEveryPhaseOfTheCard) {
    std::vector<double> settled;
    for (double phase = 0; phase < 10; phase += 1.25) {
        CWidebandPlayout buffer;
        const Result r = Simulate(buffer, Steady(1500, 1), phase, 15100);
        const double latency = Median(Slice(r.latencyMs, 1000, 1490));
        ASSERT_GT(latency, 0) << phase;
        settled.push_back(latency);
        EXPECT_EQ(r.silentPeriods, 0) << phase;
        EXPECT_GT(buffer.GetStats().trimmedMs, 0) << phase;
    }
    const auto [low, high] = std::minmax_element(settled.begin(), settled.end());
    EXPECT_LE(*high - *low, 2.5) << ::testing::PrintToString(settled);
    // Recorded, sent on arrival of the frame's end, a millisecond on the
    // way, then the card's period: no standing wait beyond the margin.
    EXPECT_LE(*high, 25) << ::testing::PrintToString(settled);
}

// A sender whose card runs 2 % slow sends a frame every 10.2 ms: against
// the 10 ms pace each frame is 0.2 ms later than the one before, 20 ms over
// a second of frames, which is no jitter at all. The start wait and the
// margin follow the jitter, which is still seen on a slow sender; a fast
// one costs nothing; a pause in the talk keeps what was learnt. A first
// guess comes within half a second, before whole seconds can be compared.
TEST(WidebandPlayout, ASenderWhoseCardRunsSlowIsNotTakenForJitter) {
    CWidebandPlayout slow;
    int k = 0;
    for (; k < 49; ++k) slow.Add(Tagged(k), At(11 + 10.2 * k));
    EXPECT_EQ(slow.SenderSlowMsPerFrame(), 0);
    slow.Add(Tagged(k), At(11 + 10.2 * k));
    ++k;
    EXPECT_NEAR(slow.SenderSlowMsPerFrame(), 0.2, 0.01);
    // From then on its drift is no spread: by the middle of the third
    // second (a second after the guess's frames left the window) no wait.
    for (; k < 250; ++k) slow.Add(Tagged(k), At(11 + 10.2 * k));
    EXPECT_LE(slow.StartDelayMs(), 1);
    for (; k < 600; ++k) slow.Add(Tagged(k), At(11 + 10.2 * k));
    EXPECT_NEAR(slow.SenderSlowMsPerFrame(), 0.2, 0.01);
    EXPECT_LE(slow.StartDelayMs(), 1);
    EXPECT_LE(slow.TargetLeadMs(), CWidebandPlayout::kSafetyMs);
    // One frame 30 ms late, the next ones with it.
    const double late = 11 + 10.2 * k + 30;
    for (int j = 0; j < 3; ++j, ++k) slow.Add(Tagged(k), At(late));
    EXPECT_GE(slow.StartDelayMs(), 29);
    EXPECT_LE(slow.StartDelayMs(), 31);
    // A pause of two seconds, then the next talk on the same slow clock.
    const double resume = late + 2000;
    for (int j = 0; j < 300; ++j) slow.Add(Tagged(j), At(resume + 10.2 * j));
    EXPECT_LE(slow.StartDelayMs(), 1);

    CWidebandPlayout fast;
    for (int j = 0; j < 600; ++j) fast.Add(Tagged(j), At(11 + 9.8 * j));
    EXPECT_EQ(fast.SenderSlowMsPerFrame(), 0);
    EXPECT_EQ(fast.StartDelayMs(), 0);

    // A new session forgets the sender.
    slow.Reset();
    EXPECT_EQ(slow.SenderSlowMsPerFrame(), 0);
    EXPECT_EQ(slow.StartDelayMs(), CJitterEstimator::kDefaultStartMs);
}

// The classic buffer's rules stay as they were: there, a slow sender's
// drift still counts as spread.
TEST(WidebandPlayout, OnlyTheWidebandGateFollowsTheSendersClock) {
    CPlayoutGate classic(10, 1);
    for (int k = 0; k < 600; ++k) classic.NoteArrival(At(11 + 10.2 * k), false);
    EXPECT_GE(classic.StartDelayMs(), 19);
    EXPECT_EQ(classic.SenderSlowMsPerFrame(), 0);
}

// With 40 ms of jitter frames wait in the buffer while the card plays, and
// the trimmer cuts some of them short: fed only on arrivals and ticks, as
// the client feeds it, the card never runs dry, and the latency comes down
// from the start wait to what the jitter needs.
TEST(WidebandPlayout, WithJitterTheCardNeverRunsDryWhileFramesWait) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(0, 40);
    std::vector<double> arrivals;
    double last = 0;
    for (int k = 0; k < 3000; ++k) {
        last = std::max(last, k * 10.0 + 11 + jitter(random));
        arrivals.push_back(last);
    }
    for (double phase : {0.5, 2.5}) {
        CWidebandPlayout buffer;
        const Result r = Simulate(buffer, arrivals, phase, 30200, kCardPeriodSamples, false);
        EXPECT_EQ(r.silentPeriods, 0) << phase;
        EXPECT_GT(buffer.GetStats().trimmedMs, 0) << phase;
        EXPECT_LE(Median(Slice(r.latencyMs, 1000, 2990)), 80) << phase;
    }
}

// A stall of half a second: the burst it held up is cut to the bound at
// once (here frame by frame, as it comes), and the latency left above the
// margin is found by a window of a quarter second, whether the receiver
// noticed the card run dry or was held up itself and did not.
TEST(WidebandPlayout, AfterAStallTheLatencyComesDownWithinAThirdOfASecond) {
    const double stallEnd = 2010 + 500;
    std::vector<double> arrivals = Steady(700, 1);
    for (size_t k = 200; k < arrivals.size(); ++k) arrivals[k] = std::max(arrivals[k], stallEnd);
    for (const bool deaf : {false, true}) {
        CWidebandPlayout buffer;
        const Result r =
            Simulate(buffer, arrivals, 2.5, 7200, kCardPeriodSamples, false, deaf ? 2000 : -1, deaf ? stallEnd : -1);
        const double settled = Median(Slice(r.latencyMs, 100, 200));
        EXPECT_LE(settled, 25) << deaf;
        EXPECT_GT(buffer.GetStats().trimmedMs, 400) << deaf;
        // Frames heard from a third of a second after the stall ended: the
        // stall still counts as spread in the margin (a quarter of the
        // start wait, 96 ms at most) until it is a second old, then the
        // latency is the settled one again.
        const std::vector<double> soon = Slice(r.latencyMs, 280, 380);
        EXPECT_LE(*std::max_element(soon.begin(), soon.end()), 60) << deaf;
        EXPECT_LE(Median(Slice(r.latencyMs, 400, 700)), settled + 5) << deaf;
    }
}

TEST(WidebandPlayout, AFrameTooCloseToItsTurnIsFollowedByTheConcealersFrame) {
    int asked = 0;
    CWidebandPlayout buffer([&](Frame& f) {
        ++asked;
        f.fill(-1);
        return true;
    });
    // Steady frames, then one that arrives with 2 ms to spare.
    std::vector<double> arrivals = Steady(200, 1);
    const Result steady = Simulate(buffer, arrivals, 5, 2100);
    EXPECT_EQ(steady.madeUpBlocks, 0);
    EXPECT_EQ(asked, 0);

    CWidebandPlayout late([&](Frame& f) {
        ++asked;
        f.fill(-1);
        return true;
    });
    // A card that plays a little fast: each period comes 1 % early, so the
    // frames come closer and closer to their turn.
    std::vector<double> slow;
    for (int k = 0; k < 400; ++k) slow.push_back(k * 10.1 + 11);
    const Result r = Simulate(late, slow, 5, 4100);
    EXPECT_GT(asked, 0);
    EXPECT_EQ(late.GetStats().stretched, asked);
    EXPECT_EQ(late.GetStats().concealed, 0);
    EXPECT_EQ(r.madeUpBlocks, asked);
    EXPECT_LE(r.silentPeriods, 1);
    // Of each made-up frame only what brings the lead back to the target is
    // played, in whole milliseconds: far less than a frame, as the frames
    // come only a little too late each time.
    for (int n : r.madeUpSamples) {
        EXPECT_EQ(n % CWidebandPlayout::kStepSamples, 0) << n;
        EXPECT_GE(n, CWidebandPlayout::kStepSamples);
        EXPECT_LE(n, kSamples / 2) << ::testing::PrintToString(r.madeUpSamples);
    }
}

TEST(WidebandPlayout, MadeUpFramesForMissingPacketsKeepTheirPlaceAndABurstIsCutToTheBound) {
    CWidebandPlayout buffer;
    const auto now = At(0);
    for (int k = 0; k < 3; ++k) buffer.Add(Tagged(k), now);
    buffer.AddMadeUp(Tagged(-1));
    buffer.Add(Tagged(3), now);
    EXPECT_EQ(buffer.GetStats().concealed, 1);
    EXPECT_EQ(buffer.WaitingSamples(), 5 * kSamples);
    // 50 ms waiting is not yet the default start wait of 64 ms.
    Frame f;
    int n = 0;
    bool madeUp = false;
    EXPECT_FALSE(buffer.TakeBlock(At(10), 0, &f, &n, &madeUp));
    std::vector<int> order;
    while (buffer.TakeBlock(At(70), static_cast<int>(order.size()) % 2, &f, &n, &madeUp)) {
        EXPECT_EQ(n, kSamples);
        order.push_back(madeUp ? -1 : f[0]);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, -1, 3}));

    // 30 frames at once: cut to the start wait (7 frames), the card's lead
    // (2) and the slack (2), oldest first.
    CWidebandPlayout burst;
    for (int k = 0; k < 30; ++k) burst.Add(Tagged(k), now);
    ASSERT_TRUE(burst.TakeBlock(now, 0, &f, &n));
    EXPECT_EQ(f[0], 30 - 11);
    EXPECT_EQ(burst.Waiting(), 10);
}

TEST(WidebandJitter, TheWindowIsASecondOf10msFramesAndTheClassicOneStays62) {
    CJitterEstimator wide(10);
    CJitterEstimator classic;
    for (int k = 0; k < 99; ++k) wide.NoteArrival(At(k * 10.0));
    for (int k = 0; k < 61; ++k) classic.NoteArrival(At(k * 16.0));
    EXPECT_FALSE(wide.HasWindow());
    EXPECT_FALSE(classic.HasWindow());
    EXPECT_EQ(wide.StartDelayMs(), CJitterEstimator::kDefaultStartMs);
    wide.NoteArrival(At(990));
    classic.NoteArrival(At(61 * 16.0));
    EXPECT_TRUE(wide.HasWindow());
    EXPECT_TRUE(classic.HasWindow());
    // On time at 10 ms apart: no spread. A frame 7 ms late shows as 7.
    EXPECT_EQ(wide.StartDelayMs(), 0);
    wide.NoteArrival(At(1007));
    EXPECT_EQ(wide.StartDelayMs(), 7);
}

TEST(WidebandTrimmer, ASurplusIsDroppedInMillisecondsAfterTwoWindowsWithIt) {
    CLeadTrimmer trimmer(10, 1);
    trimmer.StartPlaying();
    // Leads of 13 ms against a target of 4: 9 ms were never needed.
    for (int w = 0; w < 3; ++w) {
        for (int k = 0; k < 100; ++k) trimmer.NoteLead(At(w * 1000.0 + k * 10.0), 13, 0, true);
    }
    EXPECT_EQ(trimmer.TargetLeadMs(0), 4);
    EXPECT_EQ(trimmer.PendingDrops(), 9);
    EXPECT_EQ(trimmer.TakeDrops(100), 9);
    // The classic trimmer sees no whole 16 ms frame to spare in the same.
    CLeadTrimmer classic;
    classic.StartPlaying();
    for (int w = 0; w < 3; ++w) {
        for (int k = 0; k < 62; ++k) classic.NoteLead(At(w * 1000.0 + k * 16.0), 13, 0, true);
    }
    EXPECT_EQ(classic.PendingDrops(), 0);
}
