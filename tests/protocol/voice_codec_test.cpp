#include "protocol/voice_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using protocol::DecodeCharacter;
using protocol::EncodeSample;

TEST(VoiceCodec, EverySampleEncodesToItsTableCharacter) {
    for (int s = 0; s < 256; ++s) {
        int v = s >> 2;
        int expected = v < 10 ? v + 48 : v < 36 ? v + 87 : v < 62 ? v + 29 : v == 62 ? 43 : 45;
        ASSERT_EQ(static_cast<unsigned char>(EncodeSample(static_cast<std::uint8_t>(s))), expected) << s;
    }
    EXPECT_EQ(EncodeSample(3), '0');
    EXPECT_EQ(EncodeSample(4), '1');
    EXPECT_EQ(EncodeSample(40), 'a');
    EXPECT_EQ(EncodeSample(143), 'z');
    EXPECT_EQ(EncodeSample(144), 'A');
    EXPECT_EQ(EncodeSample(247), 'Z');
    EXPECT_EQ(EncodeSample(248), '+');
    EXPECT_EQ(EncodeSample(252), '-');
    EXPECT_EQ(EncodeSample(255), '-');
}

TEST(VoiceCodec, EveryCharacterCodeDecodesByTheTable) {
    for (int c = 0; c < 256; ++c) {
        int v;
        if (c >= 48 && c <= 57) v = c - 48;
        else if (c >= 97 && c <= 122) v = c - 87;
        else if (c >= 65 && c <= 90) v = c - 29;
        else if (c == 43) v = 62;
        else v = 63;
        ASSERT_EQ(DecodeCharacter(static_cast<std::uint8_t>(c)), v * 4) << c;
    }
    for (int c : {32, 61, 47, 0, 200, 45}) {
        EXPECT_EQ(DecodeCharacter(static_cast<std::uint8_t>(c)), 252);
    }
}

TEST(VoiceCodec, RoundTripsClearTheTwoLowBits) {
    for (int s = 0; s < 256; ++s) {
        EXPECT_EQ(DecodeCharacter(static_cast<std::uint8_t>(EncodeSample(static_cast<std::uint8_t>(s)))), s - s % 4);
    }
    for (int c = 0; c < 256; ++c) {
        char back = EncodeSample(DecodeCharacter(static_cast<std::uint8_t>(c)));
        bool inAlphabet = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+';
        EXPECT_EQ(static_cast<unsigned char>(back), inAlphabet ? c : '-');
    }
}

TEST(VoiceCodec, SilenceFrameIsAllLowerCaseW) {
    std::array<std::uint8_t, 128> frame;
    frame.fill(protocol::kSilence);
    protocol::EncodeVoiceFrame(frame.data());
    EXPECT_EQ(std::string(frame.begin(), frame.end()), std::string(128, 'w'));
    protocol::DecodeVoiceFrame(frame.data());
    for (auto s : frame) EXPECT_EQ(s, 128);
}

TEST(VoiceCodec, FrameIsRewrittenInPlacePositionByPosition) {
    std::array<std::uint8_t, 128> frame;
    for (int i = 0; i < 128; ++i) frame[static_cast<size_t>(i)] = static_cast<std::uint8_t>(i * 2);
    protocol::EncodeVoiceFrame(frame.data());
    for (int i = 0; i < 128; ++i) ASSERT_EQ(frame[static_cast<size_t>(i)], EncodeSample(static_cast<std::uint8_t>(i * 2)));
    protocol::DecodeVoiceFrame(frame.data());
    for (int i = 0; i < 128; ++i) ASSERT_EQ(frame[static_cast<size_t>(i)], (i * 2) & ~3);
}

TEST(VoiceCodec, PayloadIsTheFirst128CharactersOrNothing) {
    std::string value = std::string(128, 'a') + "trailing";
    EXPECT_EQ(protocol::VoicePayload(value), std::string(128, 'a'));
    EXPECT_TRUE(protocol::VoicePayload(std::string(127, 'a')).empty());
    EXPECT_TRUE(protocol::VoicePayload("").empty());
}
