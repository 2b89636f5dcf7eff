// The voice mixer: averages, the order frames come out in, speakers who have
// nothing queued, removal, the queue limit, and a speaker who stays silent.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "server/voice_mixer.h"

namespace {

using Frame = CVoiceMixer::Frame;

Frame Uniform(std::uint8_t value) {
    Frame f;
    f.fill(value);
    return f;
}

// A frame that differs at every position, so that mixing the wrong frames or
// positions shows.
Frame Ramp(int start) {
    Frame f;
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(((start + static_cast<int>(i)) * 4) % 256);
    return f;
}

Frame Take(CVoiceMixer& mixer, bool* took) {
    Frame out;
    out.fill(7);
    *took = mixer.TakeMixedFrame(out.data()) == 1;
    return out;
}

TEST(VoiceMixer, EmptyMixerYieldsNothing) {
    CVoiceMixer mixer;
    Frame out = Uniform(9);
    EXPECT_EQ(mixer.TakeMixedFrame(out.data()), 0);
    EXPECT_EQ(out, Uniform(9));
    EXPECT_EQ(mixer.PutFrame(Uniform(1).data(), 1), 0);
    EXPECT_EQ(mixer.RemoveMember(1), 0);
}

TEST(VoiceMixer, OneSpeakerComesOutUnchangedInOrder) {
    CVoiceMixer mixer;
    mixer.AddMember("a", 4);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(mixer.PutFrame(Ramp(k).data(), 4), 1);
    for (int k = 0; k < 3; ++k) {
        bool took = false;
        Frame out = Take(mixer, &took);
        ASSERT_TRUE(took);
        EXPECT_EQ(out, Ramp(k)) << k;
    }
    bool took = true;
    Take(mixer, &took);
    EXPECT_FALSE(took);
}

TEST(VoiceMixer, AveragesRoundDown) {
    CVoiceMixer mixer;
    mixer.AddMember("a", 1);
    mixer.AddMember("b", 2);
    Frame a = Uniform(0), b = Uniform(0);
    a[0] = 252, b[0] = 0;
    a[1] = 200, b[1] = 128;
    a[2] = 128, b[2] = 128;
    a[3] = 4, b[3] = 8;  // 6
    a[4] = 4, b[4] = 0;  // 2
    a[5] = 1, b[5] = 0;  // 0.5 -> 0
    mixer.PutFrame(a.data(), 1);
    mixer.PutFrame(b.data(), 2);
    bool took = false;
    Frame out = Take(mixer, &took);
    ASSERT_TRUE(took);
    EXPECT_EQ(out[0], 126);
    EXPECT_EQ(out[1], 164);
    EXPECT_EQ(out[2], 128);
    EXPECT_EQ(out[3], 6);
    EXPECT_EQ(out[4], 2);
    EXPECT_EQ(out[5], 0);

    mixer.AddMember("c", 3);
    mixer.PutFrame(Uniform(4).data(), 1);
    mixer.PutFrame(Uniform(4).data(), 2);
    mixer.PutFrame(Uniform(8).data(), 3);
    out = Take(mixer, &took);
    ASSERT_TRUE(took);
    EXPECT_EQ(out, Uniform(5));
}

TEST(VoiceMixer, WaitsForEverySpeakerAndPairsFirstFrames) {
    CVoiceMixer mixer;
    mixer.AddMember("a", 1);
    mixer.AddMember("b", 2);
    for (int k = 0; k < 3; ++k) mixer.PutFrame(Ramp(k).data(), 1);
    bool took = true;
    Take(mixer, &took);
    EXPECT_FALSE(took);
    EXPECT_EQ(mixer.QueuedFrames(1), 3);

    mixer.PutFrame(Uniform(0).data(), 2);
    Frame out = Take(mixer, &took);
    ASSERT_TRUE(took);
    Frame expected = Ramp(0);
    for (auto& s : expected) s = static_cast<std::uint8_t>(s / 2);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(mixer.QueuedFrames(1), 2);
    EXPECT_EQ(mixer.QueuedFrames(2), 0);
    Take(mixer, &took);
    EXPECT_FALSE(took);

    // The one who holds everyone back leaves: the rest flows unchanged.
    EXPECT_EQ(mixer.RemoveMember(2), 1);
    for (int k = 1; k < 3; ++k) {
        out = Take(mixer, &took);
        ASSERT_TRUE(took);
        EXPECT_EQ(out, Ramp(k));
    }
    Take(mixer, &took);
    EXPECT_FALSE(took);
}

TEST(VoiceMixer, RemovalTakesQueuedFramesAndKeepsOrderOfOthers) {
    CVoiceMixer mixer;
    mixer.AddMember("a", 1);
    mixer.AddMember("b", 2);
    mixer.AddMember("c", 3);
    mixer.PutFrame(Uniform(100).data(), 2);
    EXPECT_EQ(mixer.RemoveMember(2), 1);
    EXPECT_EQ(mixer.RemoveMember(2), 0);
    EXPECT_EQ(mixer.MemberCount(), 2);
    EXPECT_EQ(mixer.QueuedFrames(2), -1);
    // Coming back starts with an empty queue.
    mixer.AddMember("b again", 2);
    EXPECT_EQ(mixer.QueuedFrames(2), 0);
    EXPECT_EQ(mixer.MemberName(2), "b again");

    // The last one leaving leaves a mixer that behaves like a new one.
    mixer.RemoveMember(1);
    mixer.RemoveMember(2);
    mixer.RemoveMember(3);
    EXPECT_EQ(mixer.MemberCount(), 0);
    bool took = true;
    Take(mixer, &took);
    EXPECT_FALSE(took);
    mixer.AddMember("d", 9);
    mixer.PutFrame(Uniform(40).data(), 9);
    EXPECT_EQ(Take(mixer, &took), Uniform(40));
    EXPECT_TRUE(took);
}

TEST(VoiceMixer, QueueHolds191FramesAndDropsTheNewest) {
    CVoiceMixer mixer;
    mixer.AddMember("a", 1);
    for (int k = 0; k < 192; ++k) EXPECT_EQ(mixer.PutFrame(Ramp(k).data(), 1), 1);
    EXPECT_EQ(mixer.QueuedFrames(1), 191);
    bool took = false;
    for (int k = 0; k < 191; ++k) {
        Frame out = Take(mixer, &took);
        ASSERT_TRUE(took);
        ASSERT_EQ(out, Ramp(k)) << k;
    }
    Take(mixer, &took);
    EXPECT_FALSE(took);
}

TEST(VoiceMixer, AddingAnIdTwiceKeepsTheFirstEntry) {
    CVoiceMixer mixer;
    std::string longName(60, 'x');
    mixer.AddMember(longName, 1);
    mixer.PutFrame(Uniform(8).data(), 1);
    mixer.AddMember("second", 1);
    EXPECT_EQ(mixer.MemberCount(), 1);
    EXPECT_EQ(mixer.MemberName(1), std::string(49, 'x'));
    EXPECT_EQ(mixer.QueuedFrames(1), 1);
}

TEST(VoiceMixer, SilentSpeakerCountsAsSilenceOnceAnotherHasMoreThanEightQueued) {
    CVoiceMixer mixer;
    mixer.AddMember("talks", 1);
    mixer.AddMember("silent", 2);
    bool took = true;
    for (int k = 0; k < 8; ++k) {
        mixer.PutFrame(Uniform(200).data(), 1);
        Take(mixer, &took);
        ASSERT_FALSE(took) << k;
    }
    // The ninth frame waiting: one round goes out with the silent speaker at
    // 128, and the talker is back to eight waiting.
    mixer.PutFrame(Uniform(200).data(), 1);
    Frame out = Take(mixer, &took);
    ASSERT_TRUE(took);
    EXPECT_EQ(out, Uniform(164));
    EXPECT_EQ(mixer.QueuedFrames(1), 8);
    Take(mixer, &took);
    EXPECT_FALSE(took);

    // When the silent one speaks again, its frame pairs with the oldest.
    mixer.PutFrame(Uniform(0).data(), 2);
    out = Take(mixer, &took);
    ASSERT_TRUE(took);
    EXPECT_EQ(out, Uniform(100));
    EXPECT_EQ(mixer.QueuedFrames(1), 7);
}

TEST(VoiceMixer, SilenceRuleAppliesPerRoundWithThreeSpeakers) {
    CVoiceMixer mixer;
    mixer.AddMember("a", 1);
    mixer.AddMember("b", 2);
    mixer.AddMember("c", 3);
    for (int k = 0; k < 12; ++k) mixer.PutFrame(Uniform(252).data(), 1);
    mixer.PutFrame(Uniform(0).data(), 2);
    bool took = false;
    // Round 1: a and b have frames, c is silent: (252 + 0 + 128) / 3 = 126.
    Frame out = Take(mixer, &took);
    ASSERT_TRUE(took);
    EXPECT_EQ(out, Uniform(126));
    // Rounds 2 to 4: b silent as well: (252 + 128 + 128) / 3 = 169.
    for (int k = 0; k < 3; ++k) {
        out = Take(mixer, &took);
        ASSERT_TRUE(took);
        EXPECT_EQ(out, Uniform(169));
    }
    EXPECT_EQ(mixer.QueuedFrames(1), 8);
    Take(mixer, &took);
    EXPECT_FALSE(took);
}

}  // namespace
