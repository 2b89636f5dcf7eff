#include "server/soft_limiter.h"

#include <cmath>

void SoftLimit(float* samples, int n) {
    constexpr float room = 1.0f - kLimiterKnee;
    for (int i = 0; i < n; ++i) {
        float magnitude = std::fabs(samples[i]);
        if (magnitude <= kLimiterKnee) continue;
        float bent = kLimiterKnee + room * std::tanh((magnitude - kLimiterKnee) / room);
        samples[i] = std::copysign(bent, samples[i]);
    }
}
