// Noise suppression and gain control through the real speexdsp: each does
// what it is for, and with both off the sound is left exactly as captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "voice/voice_preprocessor.h"

namespace {

using Frame = std::array<std::int16_t, CVoicePreprocessor::kFrameSamples>;

double Rms(const Frame& f) {
    double sum = 0;
    for (std::int16_t s : f) sum += double(s) * s;
    return std::sqrt(sum / f.size());
}

Frame Noise(std::mt19937& rng, double amplitude) {
    std::normal_distribution<double> d(0, amplitude);
    Frame f;
    for (auto& s : f) s = static_cast<std::int16_t>(std::clamp(d(rng), -32768.0, 32767.0));
    return f;
}

// Frame k of a 300 Hz tone.
Frame Tone(int k, double amplitude) {
    Frame f;
    for (size_t i = 0; i < f.size(); ++i) {
        const double t = (k * 480.0 + double(i)) / 48000.0;
        f[i] = static_cast<std::int16_t>(std::lrint(amplitude * std::sin(2 * M_PI * 300 * t)));
    }
    return f;
}

}  // namespace

TEST(VoicePreprocessor, BothOnByDefaultAndBothOffLeavesTheSoundAsCaptured) {
    CVoicePreprocessor p;
    EXPECT_TRUE(p.NoiseSuppression());
    EXPECT_TRUE(p.AutomaticGain());
    p.SetNoiseSuppression(false);
    p.SetAutomaticGain(false);
    std::mt19937 rng(3);
    for (int k = 0; k < 50; ++k) {
        const Frame in = Noise(rng, 2000);
        Frame out = in;
        p.Process(out.data());
        ASSERT_EQ(out, in) << k;
    }
}

TEST(VoicePreprocessor, NoiseSuppressionTurnsSteadyNoiseDown) {
    CVoicePreprocessor on;
    on.SetAutomaticGain(false);
    std::mt19937 rng(5);
    double in = 0, out = 0;
    for (int k = 0; k < 300; ++k) {
        Frame f = Noise(rng, 1000);
        const double level = Rms(f);
        on.Process(f.data());
        // After a second to learn the noise.
        if (k >= 100) {
            in += level;
            out += Rms(f);
        }
    }
    EXPECT_LT(out, in * 0.5);
}

TEST(VoicePreprocessor, AutomaticGainBringsAQuietVoiceUpAndOffLeavesItQuiet) {
    CVoicePreprocessor gain;
    gain.SetNoiseSuppression(false);
    CVoicePreprocessor off;
    off.SetNoiseSuppression(false);
    off.SetAutomaticGain(false);
    double raised = 0, kept = 0, quiet = 0;
    for (int k = 0; k < 500; ++k) {
        Frame a = Tone(k, 300);
        Frame b = a;
        gain.Process(a.data());
        off.Process(b.data());
        if (k >= 400) {
            raised += Rms(a);
            kept += Rms(b);
            quiet += Rms(Tone(k, 300));
        }
    }
    EXPECT_DOUBLE_EQ(kept, quiet);
    EXPECT_GT(raised, 1.3 * quiet);
}
