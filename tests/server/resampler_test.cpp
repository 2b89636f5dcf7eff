#include "server/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "server/wideband_voices.h"

using wideband_voices::LegacyTone;

namespace {

// Residual of the best sine at hz fitted over the samples, against the
// samples' own level, in dB: a lost or doubled sample anywhere shifts the
// phase of everything after it and shows up as a large residual.
double ResidualDb(std::span<const float> s, double hz, int rate) {
    std::complex<double> sum = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        sum += static_cast<double>(s[i]) * std::polar(1.0, -2 * std::numbers::pi * hz * static_cast<double>(i) / rate);
    sum *= 2.0 / static_cast<double>(s.size());
    double error = 0, power = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        double fit = std::real(sum * std::polar(1.0, 2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
        error += (s[i] - fit) * (s[i] - fit);
        power += static_cast<double>(s[i]) * s[i];
    }
    return 10 * std::log10(error / power);
}

}  // namespace

TEST(Resampler, LegacyFramesBecomeAContinuousWidebandStreamAtTheirLevel) {
    CLegacyUpsampler up;
    ASSERT_TRUE(up.IsOpen());
    std::vector<float> out;
    WidebandFrame frame;
    const int legacyFrames = 125;  // 2 s
    for (int f = 0; f < legacyFrames; ++f) {
        up.Put(LegacyTone(500, 0.5, f));
        while (up.TakeFrame(frame)) out.insert(out.end(), frame.begin(), frame.end());
    }
    // Six samples out for every sample in, give or take what has not made
    // a whole frame yet.
    const int in = legacyFrames * 128;
    EXPECT_GT(static_cast<int>(out.size()), in * 6 - 480);
    EXPECT_LE(static_cast<int>(out.size()), in * 6);
    auto tail = std::span<const float>(out).subspan(out.size() - 48000);
    EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 500) / 0.5), 0.0, 0.5);
    EXPECT_LT(ResidualDb(tail, 500, 48000), -30.0);
}

TEST(Resampler, WidebandFramesBecomeContinuousLegacyFramesAtTheirLevel) {
    CLegacyDownsampler down;
    ASSERT_TRUE(down.IsOpen());
    std::vector<float> out;
    LegacyFrame frame;
    const int frames = 200;  // 2 s
    int taken = 0;
    for (int f = 0; f < frames; ++f) {
        auto sine = tone::Sine(1000, 0.5, f * 480, 480);
        WidebandFrame in;
        std::copy(sine.begin(), sine.end(), in.begin());
        down.Put(in);
        while (down.TakeFrame(frame)) {
            ++taken;
            for (auto s : frame) out.push_back((s - 128) / 128.0f);
        }
    }
    // Eight frames of 10 ms make five of 16 ms.
    EXPECT_EQ(taken, frames * 5 / 8);
    auto tail = std::span<const float>(out).subspan(out.size() - 8000);
    EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 1000, 8000) / 0.5), 0.0, 0.5);
    EXPECT_LT(ResidualDb(tail, 1000, 8000), -30.0);
}

TEST(Resampler, NothingAboveFourKilohertzReachesTheLegacySide) {
    CLegacyDownsampler down;
    std::vector<float> out;
    LegacyFrame frame;
    for (int f = 0; f < 100; ++f) {
        auto sine = tone::Sine(6000, 0.5, f * 480, 480);
        WidebandFrame in;
        std::copy(sine.begin(), sine.end(), in.begin());
        down.Put(in);
        while (down.TakeFrame(frame))
            for (auto s : frame) out.push_back((s - 128) / 128.0f);
    }
    // 6 kHz would fold to 2 kHz at 8,000 samples per second.
    auto tail = std::span<const float>(out).subspan(out.size() - 4000);
    EXPECT_LT(tone::Amplitude(tail, 2000, 8000), 0.5 * 0.03);
}

TEST(Resampler, SilenceStaysExactSilenceBothWays) {
    CLegacyUpsampler up;
    CLegacyDownsampler down;
    LegacyFrame silent;
    silent.fill(128);
    WidebandFrame wide;
    LegacyFrame narrow;
    int wideFrames = 0, narrowFrames = 0;
    for (int f = 0; f < 20; ++f) {
        up.Put(silent);
        while (up.TakeFrame(wide)) {
            ++wideFrames;
            for (float s : wide) ASSERT_EQ(s, 0.0f);
            down.Put(wide);
            while (down.TakeFrame(narrow)) {
                ++narrowFrames;
                ASSERT_EQ(narrow, silent);
            }
        }
    }
    EXPECT_GE(wideFrames, 30);
    EXPECT_GE(narrowFrames, 17);
}
