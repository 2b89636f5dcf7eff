// Wideband voices for the server's tests: a client's send side (a tone,
// encoded packet by packet, with its sequence numbers), its receive side (a
// decoder for one stream), and today's 16 ms frames of a tone.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/opus_codec.h"
#include "protocol/voice_sequence.h"
#include "server/resampler.h"
#include "support/tone.h"

namespace wideband_voices {

using protocol::kWidebandFrameSamples;
constexpr std::int64_t kFrameUs = 10000;

// A wideband client's send side: a continuous tone, one packet per call.
class ToneSpeaker {
public:
    ToneSpeaker(double hz, double amplitude) : hz_(hz), amplitude_(amplitude) {}
    std::span<const std::uint8_t> Next() {
        auto pcm = tone::Sine(hz_, amplitude_, frame_++ * kWidebandFrameSamples, kWidebandFrameSamples);
        size_ = encoder_.Encode(pcm.data(), packet_);
        sequence_ = protocol::NextSequence(sequence_);
        return {packet_, static_cast<std::size_t>(size_)};
    }
    int Sequence() const { return sequence_; }

private:
    double hz_, amplitude_;
    int frame_ = 0;
    int sequence_ = 99990;  // crosses the wrap early on
    protocol::COpusEncoder encoder_;
    std::uint8_t packet_[protocol::kOpusMaxEncodedBytes]{};
    int size_ = 0;
};

// A wideband client's receive side: decodes every packet of one stream.
class Listener {
public:
    void Take(std::span<const std::uint8_t> packet) {
        WidebandFrame pcm{};
        EXPECT_FALSE(packet.empty());
        EXPECT_TRUE(decoder_.Decode(packet, pcm.data()));
        heard.insert(heard.end(), pcm.begin(), pcm.end());
    }
    // The last half second (all of it when shorter).
    std::span<const float> Tail() const {
        return std::span<const float>(heard).last(std::min<std::size_t>(heard.size(), 24000));
    }
    std::vector<float> heard;

private:
    protocol::COpusDecoder decoder_;
};

// Frame frameIndex of a tone in today's 8-bit frames.
inline LegacyFrame LegacyTone(double hz, double amplitude, int frameIndex) {
    auto sine = tone::Sine(hz, amplitude, frameIndex * 128, 128, 8000);
    LegacyFrame frame;
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(std::lround(128 + 128 * sine[i]));
    return frame;
}

// Level of the tone at hz against the amplitude it was sent with, in dB.
inline double LevelDb(std::span<const float> s, double hz, double amplitude, int rate = 48000) {
    return tone::Db(tone::Amplitude(s, hz, rate) / amplitude);
}

}  // namespace wideband_voices
