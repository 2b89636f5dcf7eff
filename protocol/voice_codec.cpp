#include "protocol/voice_codec.h"

namespace protocol {

char EncodeSample(std::uint8_t sample) {
    int v = sample >> 2;
    if (v < 10) return static_cast<char>(v + 48);
    if (v < 36) return static_cast<char>(v + 87);
    if (v < 62) return static_cast<char>(v + 29);
    return v == 62 ? '+' : '-';
}

std::uint8_t DecodeCharacter(std::uint8_t c) {
    int v;
    if (c >= '0' && c <= '9') {
        v = c - 48;
    } else if (c >= 'a' && c <= 'z') {
        v = c - 87;
    } else if (c >= 'A' && c <= 'Z') {
        v = c - 29;
    } else if (c == '+') {
        v = 62;
    } else {
        v = 63;  // '-' and every character outside the alphabet
    }
    return static_cast<std::uint8_t>(v << 2);
}

void EncodeVoiceFrame(std::uint8_t* frame, int length) {
    for (int i = 0; i < length; ++i) frame[i] = static_cast<std::uint8_t>(EncodeSample(frame[i]));
}

void DecodeVoiceFrame(std::uint8_t* frame, int length) {
    for (int i = 0; i < length; ++i) frame[i] = DecodeCharacter(frame[i]);
}

std::string_view VoicePayload(std::string_view value) {
    if (value.size() < static_cast<size_t>(kVoiceFrameLength)) return {};
    return value.substr(0, kVoiceFrameLength);
}

}  // namespace protocol
