#include "server/wideband_mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "protocol/voice_sequence.h"
#include "server/soft_limiter.h"
#include "server/wideband_voices.h"

using namespace wideband_voices;

namespace {

// Rounds of everyone sending on time: each speaker's packet, then every
// round that is due. Speakers are keyed by ID; own streams decoded for each.
struct Conference {
    CWidebandMixer mixer;
    std::map<int, ToneSpeaker> speakers;
    std::map<int, Listener> own;
    Listener listeners;
    std::int64_t now = 0;

    void Speak(int id, double hz, double amplitude) {
        speakers.try_emplace(id, hz, amplitude);
        mixer.AddOpusSpeaker(id);
    }
    int Drain() {
        int rounds = 0;
        while (mixer.MixRound(now, true)) {
            ++rounds;
            listeners.Take(mixer.ListenerPacket());
            for (auto& [id, s] : speakers) own[id].Take(mixer.OwnPacket(id));
        }
        return rounds;
    }
    void Run(int rounds) {
        for (int r = 0; r < rounds; ++r, now += kFrameUs) {
            for (auto& [id, s] : speakers) {
                auto packet = s.Next();
                ASSERT_TRUE(mixer.PutPacket(id, s.Sequence(), packet, now));
            }
            ASSERT_EQ(Drain(), 1);
        }
    }
};


}  // namespace

TEST(WidebandMixer, SilenceInSilenceOut) {
    Conference c;
    c.Speak(1, 400, 0.0);
    c.Speak(2, 700, 0.0);
    c.Run(100);
    EXPECT_LT(tone::Rms(c.listeners.heard), 1e-4);
    EXPECT_LT(tone::Rms(c.own[1].heard), 1e-4);
    EXPECT_LT(tone::Rms(c.own[2].heard), 1e-4);
}

TEST(WidebandMixer, EachSpeakersOwnStreamLacksItsVoice) {
    Conference c;
    const double hz[] = {400, 700, 1100};
    for (int id = 1; id <= 3; ++id) c.Speak(id, hz[id - 1], 0.2);
    c.Run(150);
    for (int id = 1; id <= 3; ++id) {
        for (int other = 1; other <= 3; ++other) {
            double level = LevelDb(c.own[id].Tail(), hz[other - 1], 0.2);
            if (other == id) {
                EXPECT_LT(level, -40.0) << "speaker " << id << " hears itself";
            } else {
                EXPECT_NEAR(level, 0.0, 1.0) << "speaker " << id << " hearing " << other;
            }
        }
        EXPECT_NEAR(LevelDb(c.listeners.Tail(), hz[id - 1], 0.2), 0.0, 1.0);
    }
}

TEST(WidebandMixer, FourSpeakersAtOnceEachKeepTheLevelTheyHaveAlone) {
    const double hz[] = {400, 700, 1100, 1700};
    double alone[4];
    for (int i = 0; i < 4; ++i) {
        Conference c;
        c.Speak(i + 1, hz[i], 0.1);
        c.Run(100);
        alone[i] = LevelDb(c.listeners.Tail(), hz[i], 0.1);
    }
    Conference c;
    for (int i = 0; i < 4; ++i) c.Speak(i + 1, hz[i], 0.1);
    c.Run(100);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(LevelDb(c.listeners.Tail(), hz[i], 0.1), alone[i], 1.0) << hz[i];
}

TEST(WidebandMixer, LoudVoicesTogetherAreLimitedNotClipped) {
    Conference c;
    c.Speak(1, 400, 0.8);
    c.Speak(2, 700, 0.8);
    c.Speak(3, 1100, 0.0);
    c.Run(60);
    float peak = 0;
    for (float s : c.listeners.Tail()) peak = std::max(peak, std::fabs(s));
    // The sum peaks at 1.6; what the codec adds to a limited one is small
    // (about a tenth of full scale at the server's effort).
    EXPECT_LE(peak, 1.15f);
    // Bent, not averaged: each voice still near its own level.
    EXPECT_GT(LevelDb(c.listeners.Tail(), 400, 0.8), -3.0);
}

TEST(SoftLimiter, PassesTheSumBelowTheKneeAndBendsPeaksUnderFullScale) {
    float samples[] = {0.0f, 0.25f, -0.5f, 0.6f, -0.9f, 1.6f, -4.0f, 100.0f};
    SoftLimit(samples, 8);
    EXPECT_EQ(samples[0], 0.0f);
    EXPECT_EQ(samples[1], 0.25f);
    EXPECT_EQ(samples[2], -0.5f);
    EXPECT_GT(samples[3], 0.55f);
    EXPECT_LT(samples[3], 0.6f);
    EXPECT_LT(samples[4], -0.7f);
    EXPECT_GT(samples[4], -0.9f);
    // Monotonic and never at or past full scale.
    EXPECT_GT(samples[5], samples[3]);
    EXPECT_LT(samples[5], 1.0f);
    EXPECT_GT(samples[6], -1.0f);
    EXPECT_LE(samples[7], 1.0f);
}

TEST(WidebandMixer, ALateSpeakerIsConcealedAfterAboutTwoFramesNotWaitedFor) {
    Conference c;
    c.Speak(1, 400, 0.2);
    c.Speak(2, 700, 0.2);
    c.Run(20);
    ASSERT_EQ(c.mixer.ConcealedFrames(2), 0);
    // Speaker 2 stops sending; speaker 1's packet waits for it.
    auto& one = c.speakers.at(1);
    auto packet = one.Next();
    ASSERT_TRUE(c.mixer.PutPacket(1, one.Sequence(), packet, c.now));
    const std::int64_t sent = c.now;
    EXPECT_FALSE(c.mixer.IsRoundDue(sent));
    ASSERT_TRUE(c.mixer.Deadline().has_value());
    EXPECT_EQ(*c.mixer.Deadline(), sent + CWidebandMixer::kWaitUs);
    EXPECT_FALSE(c.mixer.IsRoundDue(sent + CWidebandMixer::kWaitUs - 1));
    EXPECT_EQ(CWidebandMixer::kWaitUs, 2 * kFrameUs);
    // Its next packet comes on time, and still no round.
    c.now = sent + kFrameUs;
    packet = one.Next();
    ASSERT_TRUE(c.mixer.PutPacket(1, one.Sequence(), packet, c.now));
    EXPECT_EQ(c.Drain(), 0);
    // Two frames after the first waiting packet, both rounds go.
    c.now = sent + CWidebandMixer::kWaitUs;
    packet = one.Next();
    ASSERT_TRUE(c.mixer.PutPacket(1, one.Sequence(), packet, c.now));
    EXPECT_EQ(c.Drain(), 3);
    EXPECT_EQ(c.mixer.ConcealedFrames(2), 3);
    EXPECT_FALSE(c.mixer.Deadline().has_value());
    // From now on speaker 1 is mixed the moment it arrives.
    for (int r = 0; r < 10; ++r) {
        c.now += kFrameUs;
        packet = one.Next();
        ASSERT_TRUE(c.mixer.PutPacket(1, one.Sequence(), packet, c.now));
        EXPECT_EQ(c.Drain(), 1);
    }
    // Speaker 1 went on at its level throughout.
    EXPECT_NEAR(LevelDb(std::span<const float>(c.listeners.heard).last(4800), 400, 0.2), 0.0, 1.0);
    // When speaker 2 comes back, it joins the next round, and rounds wait
    // for it again.
    auto& two = c.speakers.at(2);
    c.now += kFrameUs;
    packet = two.Next();
    ASSERT_TRUE(c.mixer.PutPacket(2, two.Sequence(), packet, c.now));
    packet = one.Next();
    ASSERT_TRUE(c.mixer.PutPacket(1, one.Sequence(), packet, c.now));
    EXPECT_EQ(c.Drain(), 1);
    c.now += kFrameUs;
    packet = one.Next();
    ASSERT_TRUE(c.mixer.PutPacket(1, one.Sequence(), packet, c.now));
    EXPECT_EQ(c.Drain(), 0);
    packet = two.Next();
    ASSERT_TRUE(c.mixer.PutPacket(2, two.Sequence(), packet, c.now));
    EXPECT_EQ(c.Drain(), 1);
    EXPECT_EQ(c.mixer.ConcealedFrames(2), 13);
}

TEST(WidebandMixer, AFastSpeakersSurplusIsDroppedAndNoOneElses) {
    CWidebandMixer mixer;
    ToneSpeaker fast(400, 0.2), steady(700, 0.2);
    mixer.AddOpusSpeaker(1);
    mixer.AddOpusSpeaker(2);
    Listener listener;
    // Speaker 1's card runs 2 % fast: 51 packets for every 50 of speaker 2.
    const std::int64_t fastUs = kFrameUs * 50 / 51;
    std::int64_t nextFast = 0, nextSteady = 3000;
    int maxQueued = 0;
    for (int events = 0; events < 2 * 1000; ++events) {
        std::int64_t now;
        if (nextFast <= nextSteady) {
            now = nextFast;
            nextFast += fastUs;
            auto p = fast.Next();
            ASSERT_TRUE(mixer.PutPacket(1, fast.Sequence(), p, now));
        } else {
            now = nextSteady;
            nextSteady += kFrameUs;
            auto p = steady.Next();
            ASSERT_TRUE(mixer.PutPacket(2, steady.Sequence(), p, now));
        }
        while (mixer.MixRound(now, true)) listener.Take(mixer.ListenerPacket());
        maxQueued = std::max(maxQueued, mixer.QueuedFrames(1));
    }
    // 1000 events over about 10 s: speaker 1 ran about 10 frames ahead.
    EXPECT_LE(maxQueued, 2);
    EXPECT_GE(mixer.DroppedFrames(1), 5);
    EXPECT_EQ(mixer.DroppedFrames(2), 0);
    EXPECT_EQ(mixer.ConcealedFrames(2), 0);
    EXPECT_NEAR(LevelDb(listener.Tail(), 700, 0.2), 0.0, 1.0);
}

TEST(WidebandMixer, RefusesWhatIsNotTheNextTenMillisecondPacketOfAWidebandSpeaker) {
    CWidebandMixer mixer;
    ToneSpeaker s(400, 0.2);
    mixer.AddOpusSpeaker(1);
    mixer.AddPcmSpeaker(2);
    auto p = s.Next();
    std::vector<std::uint8_t> packet(p.begin(), p.end());
    EXPECT_FALSE(mixer.PutPacket(3, 1, packet, 0));  // not speaking
    EXPECT_FALSE(mixer.PutPacket(2, 1, packet, 0));  // a legacy speaker
    const std::uint8_t broken[] = {0xFF};
    EXPECT_FALSE(mixer.PutPacket(1, 1, broken, 0));
    EXPECT_FALSE(mixer.PutPacket(1, 1, {}, 0));
    EXPECT_EQ(mixer.QueuedFrames(1), 0);
    EXPECT_TRUE(mixer.PutPacket(1, 99999, packet, 0));
    EXPECT_FALSE(mixer.PutPacket(1, 99999, packet, 0));  // repeated
    EXPECT_FALSE(mixer.PutPacket(1, 99990, packet, 0));  // late
    EXPECT_EQ(mixer.QueuedFrames(1), 1);
    // Two skipped numbers across the wrap hold their places as lost frames.
    EXPECT_TRUE(mixer.PutPacket(1, 2, packet, 0));
    EXPECT_EQ(mixer.QueuedFrames(1), 4);
    WidebandFrame pcm{};
    EXPECT_FALSE(mixer.PutPcm(1, pcm, 0));
    EXPECT_TRUE(mixer.PutPcm(2, pcm, 0));
    EXPECT_EQ(mixer.QueuedFrames(9), -1);
}

TEST(WidebandMixer, ALegacySpeakerIsHeardAtItsLevelOnTheWidebandTimeline) {
    CWidebandMixer mixer;
    CLegacyUpsampler up;
    mixer.AddPcmSpeaker(5);
    Listener listener;
    WidebandFrame frame;
    // 16 ms frames of a 1 kHz tone, as today's client sends them.
    for (int f = 0; f < 100; ++f) {
        const std::int64_t now = f * 16000;
        auto sine = tone::Sine(1000, 0.4, f * 128, 128, 8000);
        LegacyFrame legacy;
        for (int i = 0; i < 128; ++i) legacy[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::lround(128 + 128 * sine[static_cast<std::size_t>(i)]));
        up.Put(legacy);
        while (up.TakeFrame(frame)) ASSERT_TRUE(mixer.PutPcm(5, frame, now));
        while (mixer.MixRound(now, true)) listener.Take(mixer.ListenerPacket());
    }
    EXPECT_GE(listener.heard.size(), 150u * kWidebandFrameSamples);
    EXPECT_NEAR(LevelDb(listener.Tail(), 1000, 0.4), 0.0, 1.0);
    // A legacy speaker hears today's mixer, not a stream of this one.
    EXPECT_TRUE(mixer.OwnPacket(5).empty());
    ASSERT_NE(mixer.Voice(5), nullptr);
}

TEST(WidebandMixer, ListenersStreamIsEncodedOnlyWhenAskedFor) {
    CWidebandMixer mixer;
    ToneSpeaker s(400, 0.2);
    mixer.AddOpusSpeaker(1);
    auto p = s.Next();
    ASSERT_TRUE(mixer.PutPacket(1, s.Sequence(), p, 0));
    ASSERT_TRUE(mixer.MixRound(0, false));
    EXPECT_TRUE(mixer.ListenerPacket().empty());
    EXPECT_FALSE(mixer.OwnPacket(1).empty());
    EXPECT_FALSE(mixer.MixRound(0, true));
    EXPECT_TRUE(mixer.RemoveSpeaker(1));
    EXPECT_FALSE(mixer.RemoveSpeaker(1));
    EXPECT_EQ(mixer.SpeakerCount(), 0);
}

