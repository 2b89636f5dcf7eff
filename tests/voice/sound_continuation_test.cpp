// The made-up sound that fills in when frames come too close to their turn.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sound_fixture.h"
#include "voice/sound_continuation.h"

using namespace voicetest;

// The made-up sound: voiced sound goes on at its own pitch and in phase, so
// that it joins the sound before it without a click; silence stays silence.
TEST(SoundContinuation, VoicedSoundGoesOnInPhaseAtItsPitchAndSilenceStaysSilent) {
    constexpr double kPi = 3.14159265358979;
    auto tone = [&](double period, int at) {
        return static_cast<std::uint8_t>(std::lround(128 + 60 * std::sin(2 * kPi * at / period)));
    };
    for (int period : {kMinPitchPeriod, 25, 40, 57, 100, kMaxPitchPeriod}) {
        SCOPED_TRACE(period);
        std::vector<std::uint8_t> history(256);
        for (int i = 0; i < 256; ++i) history[static_cast<std::size_t>(i)] = tone(period, i);
        // The shortest period that repeats, not a multiple of it.
        EXPECT_EQ(FindPitchPeriod(history.data(), 256), period);
        std::array<std::uint8_t, 128> out{};
        ContinueSound(history.data(), 256, out.data(), 128);
        for (int i = 0; i < 128; ++i) EXPECT_NEAR(out[static_cast<std::size_t>(i)], tone(period, 256 + i), 1) << i;
    }

    std::vector<std::uint8_t> silence(256, 128);
    std::array<std::uint8_t, 128> out{};
    out.fill(7);
    EXPECT_EQ(FindPitchPeriod(silence.data(), 256), 0);
    ContinueSound(silence.data(), 256, out.data(), 128);
    EXPECT_TRUE(IsSilence(out.data(), 128));

    // A voice that stopped within the history goes on as silence, not as
    // what it said before it stopped.
    std::vector<std::uint8_t> stopped(256, 128);
    for (int i = 0; i < 128; ++i) stopped[static_cast<std::size_t>(i)] = tone(40, i);
    out.fill(7);
    ContinueSound(stopped.data(), 256, out.data(), 128);
    EXPECT_TRUE(IsSilence(out.data(), 128));

    // Too little history to look for a pitch: it is repeated as it is.
    const std::uint8_t shortHistory[5] = {100, 140, 160, 120, 90};
    EXPECT_EQ(FindPitchPeriod(shortHistory, 5), 0);
    ContinueSound(shortHistory, 5, out.data(), 128);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(out[static_cast<std::size_t>(i)], shortHistory[i % 5]) << i;
    ContinueSound(nullptr, 0, out.data(), 128);
    EXPECT_TRUE(IsSilence(out.data(), 128));
}

