#include "server/voice_bridge.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/voice_codec.h"
#include "server/voice_mixer.h"
#include "server/wideband_voices.h"

using namespace wideband_voices;

namespace {

// Today's listener: every mixed frame through the real payload codec.
void HearLegacy(CVoiceMixer& legacy, std::vector<float>& heard) {
    CVoiceMixer::Frame frame;
    while (legacy.TakeMixedFrame(frame.data())) {
        protocol::EncodeVoiceFrame(frame.data());
        protocol::DecodeVoiceFrame(frame.data());
        for (auto s : frame) heard.push_back((s - 128) / 128.0f);
    }
}

}  // namespace

TEST(VoiceBridge, EachKindOfListenerHearsBothKindsOfSpeaker) {
    CWidebandMixer mixer;
    CVoiceMixer legacy;
    CVoiceBridge bridge(mixer);
    ToneSpeaker wide(700, 0.4);
    legacy.AddMember("wide", 1);
    bridge.AddWidebandSpeaker(1);
    legacy.AddMember("old", 2);
    bridge.AddLegacySpeaker(2);
    Listener listener, own;
    std::vector<float> legacyHeard;
    // Wideband packets every 10 ms, legacy frames every 16 ms, for 3 s.
    int wideSent = 0, legacySent = 0;
    for (std::int64_t now = 0; now < 3000000; now += 1000) {
        if (now % 10000 == 0) {
            auto p = wide.Next();
            ASSERT_TRUE(mixer.PutPacket(1, wide.Sequence(), p, now));
            ++wideSent;
        }
        if (now % 16000 == 0) {
            auto frame = LegacyTone(1000, 0.4, legacySent++);
            legacy.PutFrame(frame.data(), 2);
            ASSERT_TRUE(bridge.PutLegacyFrame(2, frame, now));
        }
        while (mixer.MixRound(now, true)) {
            listener.Take(mixer.ListenerPacket());
            own.Take(mixer.OwnPacket(1));
            for (const auto& [id, frame] : bridge.CarryRound()) {
                EXPECT_EQ(id, 1);
                legacy.PutFrame(frame.data(), id);
            }
        }
        HearLegacy(legacy, legacyHeard);
    }
    // The wideband listener: both at their level, added.
    EXPECT_NEAR(LevelDb(listener.Tail(), 700, 0.4), 0.0, 1.0);
    EXPECT_NEAR(LevelDb(listener.Tail(), 1000, 0.4), 0.0, 1.0);
    // The wideband speaker: the legacy one, not itself.
    EXPECT_NEAR(LevelDb(own.Tail(), 1000, 0.4), 0.0, 1.0);
    EXPECT_LT(LevelDb(own.Tail(), 700, 0.4), -40.0);
    // Today's listener: both, averaged as today's mixer does (half each).
    ASSERT_GE(legacyHeard.size(), 8000u);
    auto tail = std::span<const float>(legacyHeard).last(8000);
    EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 700, 8000) / 0.2), 0.0, 1.0);
    EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 1000, 8000) / 0.2), 0.0, 1.0);
    // Nothing piles up on either side: legacy frames leave as they come.
    EXPECT_GE(static_cast<int>(legacyHeard.size()) / 128, legacySent - 3);
    EXPECT_LE(mixer.QueuedFrames(2), 2);
    EXPECT_GE(wideSent, 300);
}

TEST(VoiceBridge, ALegacyOnlyConferenceGetsTodaysFramesUnchanged) {
    CWidebandMixer mixer;
    CVoiceBridge bridge(mixer);
    CVoiceMixer withBridge, alone;
    for (CVoiceMixer* m : {&withBridge, &alone}) {
        m->AddMember("a", 1);
        m->AddMember("b", 2);
    }
    bridge.AddLegacySpeaker(1);
    bridge.AddLegacySpeaker(2);
    for (int f = 0; f < 50; ++f) {
        auto a = LegacyTone(500, 0.3, f), b = LegacyTone(900, 0.3, f);
        for (CVoiceMixer* m : {&withBridge, &alone}) {
            m->PutFrame(a.data(), 1);
            m->PutFrame(b.data(), 2);
        }
        bridge.PutLegacyFrame(1, a, f * 16000);
        bridge.PutLegacyFrame(2, b, f * 16000);
        while (mixer.MixRound(f * 16000, true)) {
            for (const auto& [id, frame] : bridge.CarryRound()) withBridge.PutFrame(frame.data(), id);
        }
        CVoiceMixer::Frame x, y;
        while (alone.TakeMixedFrame(y.data())) {
            ASSERT_TRUE(withBridge.TakeMixedFrame(x.data()));
            ASSERT_EQ(x, y);
        }
        ASSERT_EQ(withBridge.TakeMixedFrame(x.data()), 0);
    }
    bridge.RemoveSpeaker(1);
    EXPECT_EQ(mixer.QueuedFrames(1), -1);
    EXPECT_FALSE(bridge.PutLegacyFrame(1, LegacyTone(500, 0.3, 0), 0));
    EXPECT_EQ(mixer.SpeakerCount(), 1);
}
