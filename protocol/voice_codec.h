// Voice frames travel as printable characters: one character per sample,
// carrying its upper six bits, from the alphabet 0-9 a-z A-Z + -.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/limits.h"

namespace protocol {

// A frame (kVoiceFrameLength samples) is 16 ms of unsigned 8-bit mono sound
// at 8000 Hz.
inline constexpr std::uint8_t kSilence = 128;

// Rewrites length samples in place as their payload characters.
void EncodeVoiceFrame(std::uint8_t* frame, int length = kVoiceFrameLength);
// Rewrites length payload characters in place as samples (multiples of four).
void DecodeVoiceFrame(std::uint8_t* frame, int length = kVoiceFrameLength);

// One character's digit value and back, as the tables give them.
char EncodeSample(std::uint8_t sample);
std::uint8_t DecodeCharacter(std::uint8_t code);

// The payload of a "Voice Data:" value: its first 128 characters, or an empty
// view when fewer arrived (such a frame is dropped, never read past its line).
std::string_view VoicePayload(std::string_view value);

}  // namespace protocol
