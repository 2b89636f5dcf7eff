// A made-up continuation of the sound that was just played, for the play-out
// buffer to put in when frames come too close to their turn: the last pitch
// period repeated, so that voiced speech goes on at its own pitch instead of
// breaking off into silence.
#pragma once

#include <cstdint>

// Writes outLength samples (unsigned 8-bit, 128 silence) that continue the
// historyLength samples before them. Sound that ended in silence continues
// as silence; history too short to look for a pitch is repeated as a whole.
void ContinueSound(const std::uint8_t* history, int historyLength, std::uint8_t* out, int outLength);

// The period (in samples) at which the end of the history repeats best,
// between kMinPitchPeriod and kMaxPitchPeriod; 0 when the history is too
// short or its end is silent.
int FindPitchPeriod(const std::uint8_t* history, int historyLength);

inline constexpr int kMinPitchPeriod = 20;   // 400 Hz at 8000 samples a second
inline constexpr int kMaxPitchPeriod = 120;  // about 67 Hz
