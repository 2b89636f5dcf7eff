// One frame of voice as the client plays it: 16 ms of unsigned 8-bit mono
// sound at 8000 samples a second.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/limits.h"

namespace voice {

inline constexpr int kFrameBytes = protocol::kVoiceFrameLength;
inline constexpr int kFrameMs = 16;

using Frame = std::array<std::uint8_t, kFrameBytes>;

}  // namespace voice
