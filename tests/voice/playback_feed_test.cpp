// Playback fed from the play-out buffer, against the real sound device
// through SDL's disk driver.
#include <gtest/gtest.h>

#include "platform/sound.h"
#include "sound_fixture.h"
#include "voice/playback_feed.h"
#include "voice/wave_device.h"

using namespace voicetest;
using Clock = CPlaybackFeed::Clock;

namespace {

class PlaybackFeedTest : public SoundTest {};

}  // namespace

TEST_F(PlaybackFeedTest, FeedsTheRealDeviceAndForgetsFramesOfAnEarlierSession) {
    WriteFileBytes(InputFile(), {});
    UseDiskDelay(4);
    CWaveDevice device;
    CPlaybackFeed feed;
    const CPlayoutBuffer& buffer = feed.Buffer();
    // No playback open: frames are forgotten.
    feed.Add(PatternFrame(0).data(), kFrame, Clock::now());
    EXPECT_EQ(feed.Feed(device), 0);
    EXPECT_EQ(buffer.Waiting(), 0);

    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    int played = 0;
    for (int k = 1; k <= 6; ++k) {
        feed.Add(PatternFrame(k).data(), kFrame, Clock::now());
        played += feed.Feed(device);
        EXPECT_LE(device.CountQueuedPlaybackBlocks(), CPlayoutBuffer::kDeviceLead);
    }
    ASSERT_TRUE(WaitUntil([&] {
        played += feed.Feed(device);
        return buffer.Waiting() == 0 && device.CountQueuedPlaybackBlocks() == 0;
    }));
    // A burst beyond the bound loses its oldest frames, never the newest.
    EXPECT_EQ(played + buffer.GetStats().trimmed, 6);
    EXPECT_GE(played, 1);
    ASSERT_EQ(device.ClosePlayback(), 1);
    const Bytes heard = WithoutSilence(ReadFileBytes(OutputFile()));
    ASSERT_EQ(heard.size() % kFrame, 0u);
    int last = 0;
    for (std::size_t at = 0; at < heard.size(); at += kFrame) {
        const int k = PatternIndex(heard.data() + at);
        EXPECT_GT(k, last);
        last = k;
    }
    EXPECT_EQ(last, 6);

    // Frames still waiting when a session ends never reach the next
    // session's device; the frame that arrived for the new one does. The
    // device is held so that frames stay waiting behind its lead.
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.IsPlaybackSlotFree(0); }));
    ASSERT_EQ(platform::WaveOutPause(device.GetPlaybackDevice()), platform::MMSYSERR_NOERROR);
    for (int k = 7; k <= 10; ++k) feed.Add(PatternFrame(k).data(), kFrame, Clock::now());
    ASSERT_TRUE(WaitUntil([&] {
        feed.Feed(device);
        return device.CountQueuedPlaybackBlocks() == CPlayoutBuffer::kDeviceLead;
    }));
    EXPECT_GE(buffer.Waiting(), 1);
    ASSERT_EQ(device.ClosePlayback(), 1);
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    feed.Add(PatternFrame(12).data(), kFrame, Clock::now());
    played = feed.Feed(device);
    EXPECT_EQ(buffer.Waiting(), 1 - played) << "the frames of the ended session are still there";
    ASSERT_TRUE(WaitUntil([&] {
        played += feed.Feed(device);
        return played == 1;
    }));
    EXPECT_EQ(buffer.Waiting(), 0);
    ASSERT_TRUE(WaitUntil([&] { return device.CountQueuedPlaybackBlocks() == 0; }));
    ASSERT_EQ(device.ClosePlayback(), 1);
    const Bytes second = WithoutSilence(ReadFileBytes(OutputFile()));
    ASSERT_EQ(second.size(), static_cast<std::size_t>(kFrame));
    EXPECT_EQ(PatternIndex(second.data()), 12);
}
