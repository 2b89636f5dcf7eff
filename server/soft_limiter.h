// Keeps a sum of voices within full scale without turning anyone down: below
// the knee the sum passes unchanged (so a voice keeps its level whoever else
// speaks), above it the peaks are bent smoothly towards full scale instead
// of being clipped.
#pragma once

inline constexpr float kLimiterKnee = 0.5f;

// Limits n samples in place; the result lies strictly within +-1.
void SoftLimit(float* samples, int n);
