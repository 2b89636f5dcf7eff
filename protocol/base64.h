// Standard base64 with padding (alphabet A-Z a-z 0-9 + /, "=" to fill the
// last group), the form voice packets travel in. Decoding is strict: one
// spelling per byte string, so a damaged line is refused rather than guessed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace protocol {

// Characters that n bytes encode to.
constexpr std::size_t Base64Length(std::size_t n) { return (n + 2) / 3 * 4; }

// Appends the encoding of bytes to out.
void AppendBase64(std::string& out, std::span<const std::uint8_t> bytes);

// Replaces out with the bytes text encodes. False, with out unspecified, when
// the length is not a multiple of four, a character lies outside the
// alphabet, "=" stands anywhere but in the last one or two places, or the
// bits that padding leaves over are not zero.
bool DecodeBase64(std::string_view text, std::string& out);

}  // namespace protocol
