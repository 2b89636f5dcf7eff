// What the load tool puts into its traffic must let receivers tell a lost,
// reordered or wrongly mixed frame from a good one, or its figures lie.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "payload.h"
#include "protocol/voice_codec.h"

namespace {

// The server's mix of several payloads: decode, average sample by sample
// rounding down, encode.
std::string Mix(const std::vector<std::string>& payloads) {
    std::vector<int> sums(protocol::kVoiceFrameLength, 0);
    for (const std::string& p : payloads) {
        for (int j = 0; j < protocol::kVoiceFrameLength; ++j) {
            sums[static_cast<size_t>(j)] += protocol::DecodeCharacter(static_cast<std::uint8_t>(p[static_cast<size_t>(j)]));
        }
    }
    std::string mixed;
    for (int s : sums) mixed += protocol::EncodeSample(static_cast<std::uint8_t>(s / static_cast<int>(payloads.size())));
    return mixed;
}

std::string Payload(std::int64_t round) {
    std::string p;
    load::AppendVoicePayload(p, round);
    return p;
}

TEST(LoadPayload, TextsCarrySenderSequenceAndTimeAtTheirSize) {
    for (int size : {load::kTextHeaderLength, 100, 900}) {
        std::string text;
        load::AppendText(text, 24, 123456789, 98765432101234, size);
        EXPECT_EQ(text.size(), static_cast<size_t>(size));
        load::TextStamp stamp;
        ASSERT_TRUE(load::ParseText(text, &stamp));
        EXPECT_EQ(stamp.sender, 24);
        EXPECT_EQ(stamp.sequence, 123456789);
        EXPECT_EQ(stamp.sentMicros, 98765432101234);
    }
    load::TextStamp stamp;
    EXPECT_FALSE(load::ParseText("hello", &stamp));
    EXPECT_FALSE(load::ParseText("#0x1.000000001.00000000000001.", &stamp));
    EXPECT_FALSE(load::ParseText("#001.000000001.0000000000000", &stamp));
}

TEST(LoadPayload, VoiceRoundsSurviveAMixOfIdenticalFrames) {
    for (std::int64_t round : {0, 1, 62, 63, 64, 4095, 1875, 999999, 16777215}) {
        std::string p = Payload(round);
        ASSERT_EQ(p.size(), static_cast<size_t>(protocol::kVoiceFrameLength));
        EXPECT_EQ(load::ParseVoicePayload(p), round);
        EXPECT_EQ(load::ParseVoicePayload(Mix(std::vector<std::string>(25, p))), round);
        EXPECT_EQ(load::ParseVoicePayload(Mix({p})), round);
    }
    EXPECT_EQ(load::ParseVoicePayload(std::string(protocol::kVoiceFrameLength, 'w')), -1);
    EXPECT_EQ(load::ParseVoicePayload(Payload(5).substr(0, 100)), -1);
}

TEST(LoadPayload, FramesMixedFromDifferentRoundsAreRecognised) {
    int accepted = 0;
    for (std::int64_t k = 0; k < 20000; ++k) {
        // Neighbouring rounds, as when one speaker is a frame ahead.
        accepted += load::ParseVoicePayload(Mix({Payload(k), Payload(k + 1)})) >= 0;
        accepted += load::ParseVoicePayload(Mix({Payload(k), Payload(k + 2)})) >= 0;
        // 24 speakers on one round, one a round behind.
        std::vector<std::string> frames(24, Payload(k + 1));
        frames.push_back(Payload(k));
        accepted += load::ParseVoicePayload(Mix(frames)) >= 0;
        // A missing speaker stood in for by silence.
        frames.back() = std::string(protocol::kVoiceFrameLength, protocol::EncodeSample(protocol::kSilence));
        accepted += load::ParseVoicePayload(Mix(frames)) >= 0;
    }
    EXPECT_EQ(accepted, 0);
}

}  // namespace
