#include "protocol/opus_codec.h"

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <vector>

#include "support/tone.h"

using namespace protocol;

namespace {

constexpr int kN = kWidebandFrameSamples;

// Frames 0 to count-1 of a continuous tone through one encoder and one
// decoder; the decoded sound, all of it, and each packet's size.
struct Trip {
    std::vector<float> decoded;
    std::vector<int> sizes;
};

Trip RoundTrip(double hz, double amplitude, int count) {
    COpusEncoder encoder;
    COpusDecoder decoder;
    Trip trip;
    std::uint8_t packet[kOpusMaxEncodedBytes];
    std::vector<float> pcm(kN);
    for (int f = 0; f < count; ++f) {
        auto input = tone::Sine(hz, amplitude, f * kN, kN);
        int size = encoder.Encode(input.data(), packet);
        trip.sizes.push_back(size);
        EXPECT_TRUE(decoder.Decode(std::span(packet, static_cast<std::size_t>(size)), pcm.data()));
        trip.decoded.insert(trip.decoded.end(), pcm.begin(), pcm.end());
    }
    return trip;
}

// The last half second, past the codec's start-up.
std::span<const float> Tail(const std::vector<float>& s) { return std::span(s).subspan(s.size() - 24000); }

}  // namespace

TEST(OpusCodec, KeepsTheLevelOfVoiceBandAndUpperBandTones) {
    for (double hz : {400.0, 1000.0, 6000.0, 7000.0}) {
        Trip trip = RoundTrip(hz, 0.25, 100);
        double level = tone::Db(tone::Amplitude(Tail(trip.decoded), hz) / 0.25);
        EXPECT_NEAR(level, 0.0, 1.0) << hz << " Hz";
    }
}

TEST(OpusCodec, EveryPacketStaysWithinTheLineBudget) {
    // Noise-like input is the hardest to fit.
    COpusEncoder encoder;
    std::uint8_t packet[kOpusMaxEncodedBytes];
    unsigned seed = 1;
    int wireBytes = 0;
    for (int f = 0; f < 100; ++f) {
        std::vector<float> noise(kN);
        for (auto& s : noise) {
            seed = seed * 1103515245u + 12345u;
            s = static_cast<float>(static_cast<int>(seed >> 16 & 0x7FFF) - 16384) / 16384.0f * 0.9f;
        }
        int size = encoder.Encode(noise.data(), packet);
        ASSERT_GT(size, 0);
        ASSERT_LE(size, kOpusMaxEncodedBytes);
        std::string line;
        AppendOpusData(line, f, std::span(packet, static_cast<std::size_t>(size)));
        wireBytes += static_cast<int>(line.size());
    }
    // One second of lines.
    EXPECT_LE(wireBytes * 8, kWidebandBudgetBitsPerSecond);
}

TEST(OpusCodec, SilenceStaysSilent) {
    Trip trip = RoundTrip(1000, 0.0, 50);
    EXPECT_LT(tone::Rms(trip.decoded), 1e-4);
    // Silence costs the encoder a few bytes, not the full rate.
    EXPECT_LT(trip.sizes.back(), 20);
}

TEST(OpusCodec, ConcealmentContinuesTheVoiceAndTheStreamGoesOn) {
    COpusEncoder encoder;
    COpusDecoder decoder;
    std::uint8_t packet[kOpusMaxEncodedBytes];
    std::vector<float> pcm(kN);
    for (int f = 0; f < 30; ++f) {
        auto input = tone::Sine(1000, 0.25, f * kN, kN);
        int size = encoder.Encode(input.data(), packet);
        if (f == 20) {
            ASSERT_TRUE(decoder.Conceal(pcm.data()));
            // Made-up sound continues the tone rather than falling silent.
            EXPECT_GT(tone::Amplitude(pcm, 1000), 0.25 * 0.3);
            continue;
        }
        ASSERT_TRUE(decoder.Decode(std::span(packet, static_cast<std::size_t>(size)), pcm.data()));
    }
    EXPECT_NEAR(tone::Db(tone::Amplitude(pcm, 1000) / 0.25), 0.0, 1.0);
}

TEST(OpusCodec, RefusesPacketsThatAreNotOneTenMillisecondFrame) {
    COpusDecoder decoder;
    std::vector<float> pcm(kN, 0.5f);
    EXPECT_FALSE(decoder.Decode({}, pcm.data()));
    const std::uint8_t broken[] = {0xFF};  // code 3 without its frame count
    EXPECT_LT(OpusPacketSamples(broken), 0);
    EXPECT_FALSE(decoder.Decode(broken, pcm.data()));

    // A valid 20 ms packet from a plain libopus encoder.
    int error = 0;
    OpusEncoder* raw = opus_encoder_create(48000, 1, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
    ASSERT_EQ(error, OPUS_OK);
    auto input = tone::Sine(1000, 0.25, 0, 960);
    std::uint8_t packet[400];
    int size = opus_encode_float(raw, input.data(), 960, packet, sizeof packet);
    opus_encoder_destroy(raw);
    ASSERT_GT(size, 0);
    EXPECT_EQ(OpusPacketSamples(std::span(packet, static_cast<std::size_t>(size))), 960);
    EXPECT_FALSE(decoder.Decode(std::span(packet, static_cast<std::size_t>(size)), pcm.data()));
    EXPECT_EQ(pcm[0], 0.5f);
}
