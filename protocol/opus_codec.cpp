#include "protocol/opus_codec.h"

#include <opus/opus.h>

namespace protocol {

int OpusPacketSamples(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return OPUS_INVALID_PACKET;
    return opus_packet_get_nb_samples(packet.data(), static_cast<opus_int32>(packet.size()), kWidebandRate);
}

void COpusEncoder::Deleter::operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
void COpusDecoder::Deleter::operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }

COpusEncoder::COpusEncoder(int complexity) {
    int error = OPUS_OK;
    OpusEncoder* encoder = opus_encoder_create(kWidebandRate, 1, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
    if (error != OPUS_OK || encoder == nullptr) return;
    encoder_.reset(encoder);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kOpusBitrate));
    // Constrained VBR: silence costs little, and no packet outgrows the cap
    // passed to every encode.
    opus_encoder_ctl(encoder, OPUS_SET_VBR(1));
    opus_encoder_ctl(encoder, OPUS_SET_VBR_CONSTRAINT(1));
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(complexity));
    opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    opus_encoder_ctl(encoder, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND));
}

COpusEncoder::~COpusEncoder() = default;

int COpusEncoder::Encode(const float* pcm, std::uint8_t* packet) {
    if (!encoder_) return 0;
    opus_int32 n = opus_encode_float(encoder_.get(), pcm, kWidebandFrameSamples, packet, kOpusMaxEncodedBytes);
    return n > 0 ? static_cast<int>(n) : 0;
}

COpusDecoder::COpusDecoder() {
    int error = OPUS_OK;
    OpusDecoder* decoder = opus_decoder_create(kWidebandRate, 1, &error);
    if (error == OPUS_OK && decoder != nullptr) decoder_.reset(decoder);
}

COpusDecoder::~COpusDecoder() = default;

bool COpusDecoder::Decode(std::span<const std::uint8_t> packet, float* pcm) {
    if (!decoder_ || packet.empty() || OpusPacketSamples(packet) != kWidebandFrameSamples) return false;
    return opus_decode_float(decoder_.get(), packet.data(), static_cast<opus_int32>(packet.size()), pcm,
                             kWidebandFrameSamples, 0) == kWidebandFrameSamples;
}

bool COpusDecoder::Conceal(float* pcm) {
    if (!decoder_) return false;
    return opus_decode_float(decoder_.get(), nullptr, 0, pcm, kWidebandFrameSamples, 0) == kWidebandFrameSamples;
}

}  // namespace protocol
