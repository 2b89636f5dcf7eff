// The PCM format a sound card object records and plays in: mono, at a rate,
// with samples of one byte (unsigned, silence 128) or two (signed,
// little-endian, silence 0).
#pragma once

namespace voice {

struct SoundFormat {
    int rate = 8000;
    int bytesPerSample = 1;

    constexpr int BytesPerSecond() const { return rate * bytesPerSample; }
    // Bytes of sound in a millisecond (the rates used are whole kilohertz).
    constexpr int BytesPerMs() const { return BytesPerSecond() / 1000; }
    constexpr bool operator==(const SoundFormat&) const = default;
};

// The conference's classic voice: 8000 samples a second, 8-bit.
inline constexpr SoundFormat kNarrowbandSound{8000, 1};
// Wideband voice: 48,000 samples a second, 16-bit.
inline constexpr SoundFormat kWidebandSound{48000, 2};

}  // namespace voice
