// The measures of the voice quality bench on signals whose answer is known:
// a copy, a copy that lost its upper band, a copy delayed and trimmed as the
// play-out does, voices summed.
#include <gtest/gtest.h>

#include <cmath>

#include "bench/voice_quality_analysis.h"
#include "bench/voice_quality_signals.h"

namespace vq = voicequality;

namespace {

constexpr int kRate = 48000;

const vq::Signal& Speech() {
    static const vq::Signal speech = vq::SyntheticSpeech(kRate, 8.0, 5);
    return speech;
}

// The speech through a link of 8,000 samples a second: nothing above 4 kHz.
vq::Signal Narrowed(const vq::Signal& x) { return vq::Resample(vq::Resample(x, kRate, 8000), 8000, kRate); }

}  // namespace

TEST(SyntheticSpeech, HasVoicedPartsNearTwentyDecibelsDownAndPauses) {
    const vq::Signal& x = Speech();
    ASSERT_EQ(x.size(), 8u * kRate);
    EXPECT_EQ(vq::SyntheticSpeech(kRate, 8.0, 5), x) << "seeded: the same every run";
    int active = 0, quiet = 0;
    double loudest = -200;
    for (std::size_t p = 0; p + 960 <= x.size(); p += 960) {
        const double db = vq::RmsDb(vq::Signal(x.begin() + static_cast<std::ptrdiff_t>(p), x.begin() + static_cast<std::ptrdiff_t>(p + 960)));
        loudest = std::max(loudest, db);
        (db >= vq::kActiveDb ? active : quiet)++;
    }
    EXPECT_GT(active, 100);
    EXPECT_GT(quiet, 50);
    EXPECT_GT(loudest, -23);
    EXPECT_LT(loudest, -14);
}

TEST(LogSpectralDistance, IsZeroForACopyAndLargeWithoutTheUpperBand) {
    const vq::Signal& x = Speech();
    EXPECT_NEAR(vq::LogSpectralDistance(x, x, kRate, 100, 8000), 0.0, 1e-9);
    const vq::Signal narrow = Narrowed(x);
    ASSERT_EQ(narrow.size(), x.size());
    // Below 4 kHz the resampling keeps the speech nearly as it was; above
    // it, nothing is left.
    EXPECT_LT(vq::LogSpectralDistance(x, narrow, kRate, 100, 3600), 2.0);
    EXPECT_GT(vq::LogSpectralDistance(x, narrow, kRate, 100, 8000), 10.0);
}

TEST(CompareSpeech, LinesUpADelayedCopyThatLostSomeSamples) {
    const vq::Signal& x = Speech();
    // 37 ms of silence ahead, half the level, and 3 ms taken out every
    // second, as the play-out trims.
    vq::Signal heard(static_cast<std::size_t>(0.037 * kRate), 0.0f);
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (i % kRate < 144 && i > 0) continue;
        heard.push_back(0.5f * x[i]);
    }
    const vq::SpeechFigures f = vq::CompareSpeech(x, heard, kRate);
    EXPECT_GT(f.frames, 300);
    EXPECT_GT(f.correlation, 0.95);
    EXPECT_NEAR(f.lowBandDb, -6.02, 0.3);
    EXPECT_NEAR(f.highBandDb, -6.02, 0.3);
    // Half the level is 6 dB in every bin; the frames across a trim add a
    // little.
    EXPECT_NEAR(f.lsdWideDb, 6.02, 1.0);
    EXPECT_NEAR(f.lsdLowDb, 6.02, 1.0);
}

TEST(CompareSpeech, ShowsTheUpperBandMissing) {
    const vq::Signal& x = Speech();
    vq::Signal heard(1000, 0.0f);
    const vq::Signal narrow = Narrowed(x);
    heard.insert(heard.end(), narrow.begin(), narrow.end());
    const vq::SpeechFigures f = vq::CompareSpeech(x, heard, kRate);
    EXPECT_NEAR(f.lowBandDb, 0.0, 0.5);
    EXPECT_LT(f.highBandDb, -30.0);
    // Lined up as well as the copy itself (its frames fall elsewhere): the
    // resampler's edge below 4 kHz is all that differs there.
    EXPECT_NEAR(f.lsdLowDb, vq::LogSpectralDistance(x, narrow, kRate, 100, 4000), 0.3);
    EXPECT_NEAR(f.lsdWideDb, vq::LogSpectralDistance(x, narrow, kRate, 100, 8000), 0.3);
    EXPECT_GT(f.lsdWideDb, 10.0);
}

TEST(HarmonicLevel, ReadsEachVoiceAloneOrAmongOthers) {
    const std::vector<int> pitches = {107, 131, 163, 197};
    std::vector<vq::Signal> voices;
    for (std::size_t i = 0; i < pitches.size(); ++i) {
        voices.push_back(vq::SteadyVoice(kRate, 3.0, pitches[i], -20.0, static_cast<std::uint32_t>(i + 1)));
    }
    vq::Signal all(voices[0].size(), 0.0f), others(voices[0].size(), 0.0f);
    for (std::size_t i = 0; i < voices.size(); ++i) {
        for (std::size_t n = 0; n < all.size(); ++n) {
            all[n] += voices[i][n];
            if (i > 0) others[n] += voices[i][n];
        }
    }
    for (std::size_t i = 0; i < voices.size(); ++i) {
        EXPECT_NEAR(vq::RmsDb(voices[i]), -20.0, 0.01);
        const std::vector<int> clean = vq::CleanHarmonics(pitches[i], pitches, 4);
        ASSERT_GT(clean.size(), 20u) << pitches[i];
        const double alone = vq::HarmonicLevelDb(voices[i], kRate, clean);
        // Most of a voice's power lies at its clean harmonics.
        EXPECT_NEAR(alone, -20.0, 1.5) << pitches[i];
        EXPECT_NEAR(vq::HarmonicLevelDb(all, kRate, clean), alone, 0.05) << pitches[i];
    }
    // The first voice's own harmonics in a sum without it.
    const std::vector<int> first = vq::CleanHarmonics(pitches[0], pitches, 4);
    EXPECT_LT(vq::HarmonicLevelDb(others, kRate, first), vq::HarmonicLevelDb(voices[0], kRate, first) - 60.0);
}

TEST(HarmonicLevel, CleanHarmonicsKeepTheirDistance) {
    const std::vector<int> pitches = {100, 150};
    const std::vector<int> clean = vq::CleanHarmonics(100, pitches, 10);
    // 300, 600, ... are shared with 150's; every other multiple of 100 is 50 Hz away.
    for (int f : clean) EXPECT_NE(f % 300, 0) << f;
    EXPECT_EQ(clean.front(), 100);
    EXPECT_EQ(clean.size(), 70u - 70u / 3u);
}
