// Opus for wideband voice: 48,000 samples per second, mono, 10 ms frames
// (480 samples), in the low-delay mode. One encoder per stream that is sent
// and one decoder per stream that is received, since each keeps the state
// of its own stream.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "protocol/wideband_messages.h"

struct OpusEncoder;
struct OpusDecoder;

namespace protocol {

// Bit rate of every encoder, and the hard cap on one packet. At 100 lines a
// second the cap keeps a stream within 96 kbit/s with its line framing
// (16 characters before the base64, 4 after it): 72 bytes -> 96 characters
// -> 116 bytes a line -> 92.8 kbit/s.
inline constexpr int kOpusBitrate = 48000;
inline constexpr int kOpusMaxEncodedBytes = 72;
inline constexpr int kWidebandBudgetBitsPerSecond = 96000;
static_assert(OpusDataMessageBytes(kOpusMaxEncodedBytes) * 8 * (1000 / kWidebandFrameMs) <=
              kWidebandBudgetBitsPerSecond);
static_assert(kOpusMaxEncodedBytes <= kMaxOpusPacketBytes);

// The number of samples the packet holds at 48 kHz, or a negative value when
// libopus cannot read its header.
int OpusPacketSamples(std::span<const std::uint8_t> packet);

class COpusEncoder {
public:
    // complexity 0 to 10: the encoder's search effort, traded against CPU.
    explicit COpusEncoder(int complexity = 10);
    ~COpusEncoder();
    COpusEncoder(const COpusEncoder&) = delete;
    COpusEncoder& operator=(const COpusEncoder&) = delete;

    // False when libopus refused to create the encoder.
    bool IsOpen() const { return encoder_ != nullptr; }
    // Encodes one frame of kWidebandFrameSamples samples (full scale +-1)
    // into packet, which has room for kOpusMaxEncodedBytes. The packet's
    // size, or 0 when the encoder failed.
    int Encode(const float* pcm, std::uint8_t* packet);

private:
    struct Deleter {
        void operator()(OpusEncoder* encoder) const;
    };
    std::unique_ptr<OpusEncoder, Deleter> encoder_;
};

class COpusDecoder {
public:
    COpusDecoder();
    ~COpusDecoder();
    COpusDecoder(const COpusDecoder&) = delete;
    COpusDecoder& operator=(const COpusDecoder&) = delete;

    bool IsOpen() const { return decoder_ != nullptr; }
    // Decodes one 10 ms packet into kWidebandFrameSamples samples. False,
    // with pcm untouched, for a packet libopus refuses or one that is not
    // exactly 10 ms long.
    bool Decode(std::span<const std::uint8_t> packet, float* pcm);
    // Makes up the frame of a packet that never came, from the stream so far
    // (the codec's concealment); the stream continues smoothly when the next
    // packet comes.
    bool Conceal(float* pcm);

private:
    struct Deleter {
        void operator()(OpusDecoder* decoder) const;
    };
    std::unique_ptr<OpusDecoder, Deleter> decoder_;
};

}  // namespace protocol
