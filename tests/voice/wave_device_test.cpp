// CWaveDevice through the real SDL library: the dummy driver (silence in,
// sound thrown away) and the disk driver (capture from <dir>/in.raw,
// playback into <dir>/out.raw).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "voice/wave_device.h"
#include "platform/tools/process.h"
#include "platform/sound.h"
#include "sound_fixture.h"

using namespace voicetest;

namespace {

class CaptureTest : public SoundTest {};
class PlaybackTest : public SoundTest {};
class WaveDeviceTest : public SoundTest {};

// Takes the next frame, waiting for it to complete.
bool NextFrame(CWaveDevice& device, Bytes* frame) {
    frame->assign(kFrame, 0);
    return WaitUntil([&] { return device.GetCapturedFrame(frame->data()) == 1; });
}

}  // namespace

// --- Capture ----------------------------------------------------------------

TEST_F(CaptureTest, RingHoldsAKilobyteInBuffersOfTheAskedSize) {
    UseDriver("dummy");
    const struct {
        int bytes;
        int count;
    } cases[] = {{128, 8}, {100, 10}, {32, 32}, {1024, 1}, {2048, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        CWaveDevice device;
        ASSERT_EQ(device.OpenCapture(c.bytes), 1);
        EXPECT_TRUE(device.IsCaptureOpen());
        EXPECT_EQ(device.GetCaptureCount(), c.count);
        EXPECT_EQ(device.GetCaptureSize(), c.bytes);
        EXPECT_EQ(device.GetCapturePosition(), 0);
        // The dummy driver records silence, buffer after buffer.
        Bytes frame(c.bytes, 0);
        ASSERT_TRUE(WaitUntil([&] { return device.GetCapturedFrame(frame.data()) == 1; }));
        EXPECT_TRUE(IsSilence(frame.data(), c.bytes));
        EXPECT_EQ(device.GetCapturePosition(), c.count > 1 ? 1 : 0);
        ASSERT_EQ(device.CloseCapture(), 1);
        EXPECT_FALSE(device.IsCaptureOpen());
        EXPECT_EQ(device.GetCaptureCount(), 0);
        EXPECT_EQ(device.GetCaptureSize(), 0);
    }
    for (int refused : {31, 0, -128}) {
        CWaveDevice device;
        EXPECT_EQ(device.OpenCapture(refused), 0) << refused;
        EXPECT_FALSE(device.IsCaptureOpen());
        EXPECT_EQ(device.GetCaptureCount(), 0);
    }
    EXPECT_TRUE(ShownMessages().empty());
}

TEST_F(CaptureTest, SecondOpenIsRefusedAndRecordingGoesOn) {
    WriteFileBytes(InputFile(), PatternFrames(0, 12));
    CWaveDevice device;
    ASSERT_EQ(device.OpenCapture(128), 1);
    EXPECT_EQ(device.OpenCapture(128), 0);
    EXPECT_EQ(device.OpenCapture(64), 0);
    EXPECT_EQ(device.GetCaptureCount(), 8);
    EXPECT_EQ(device.GetCaptureSize(), 128);
    Bytes frame;
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(NextFrame(device, &frame));
        EXPECT_EQ(PatternIndex(frame.data()), k);
    }
    EXPECT_TRUE(ShownMessages().empty());
}

TEST_F(CaptureTest, CompleteBuffersComeOutOldestFirstByteExact) {
    WriteFileBytes(InputFile(), PatternFrames(0, 8));
    CWaveDevice device;
    ASSERT_EQ(device.OpenCapture(128), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.CountCompleteCaptureBuffers() == 8; }));
    // Hold the device so that nothing new completes while the ring is read.
    ASSERT_EQ(platform::WaveInStop(device.GetCaptureDevice()), platform::MMSYSERR_NOERROR);
    Bytes frame(kFrame);
    for (int k = 0; k < 8; ++k) {
        ASSERT_EQ(device.GetCapturedFrame(frame.data()), 1) << k;
        EXPECT_EQ(frame, PatternFrame(k)) << "frame " << k;
        EXPECT_EQ(device.GetCapturePosition(), (k + 1) % 8);
    }
    Bytes untouched(kFrame, 7);
    EXPECT_EQ(device.GetCapturedFrame(untouched.data()), 0);
    EXPECT_EQ(untouched, Bytes(kFrame, 7));
    EXPECT_EQ(device.CountCompleteCaptureBuffers(), 0) << "every buffer is queued again";
    EXPECT_EQ(device.CloseCapture(), 1);
}

TEST_F(CaptureTest, ALongRecordingComesOutInOrderWithoutTornFrames) {
    // SDL's own pace: one 128-sample buffer per 16 ms, as a sound card.
    UseDiskDelay(-1);
    const int frames = 48;
    WriteFileBytes(InputFile(), PatternFrames(0, frames));
    CWaveDevice device;
    ASSERT_EQ(device.OpenCapture(128), 1);
    std::vector<int> seen;
    Bytes frame(kFrame);
    ASSERT_TRUE(WaitUntil([&] {
        while (device.GetCapturedFrame(frame.data()) == 1) {
            if (IsSilence(frame.data())) return true;  // past the end of the file
            seen.push_back(PatternIndex(frame.data()));
        }
        return false;
    }));
    ASSERT_FALSE(seen.empty());
    // The ring holds the start even when this test is slow to poll.
    for (int k = 0; k < 8; ++k) EXPECT_EQ(seen[k], k);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        ASSERT_NE(seen[i], -1) << "frame " << i << " is not one of the recorded frames";
        EXPECT_GT(seen[i], seen[i - 1]);
    }
    std::printf("[ info ] %zu of %d frames taken, %zu lost to a late poll\n", seen.size(), frames,
                frames - seen.size());
    EXPECT_EQ(device.CloseCapture(), 1);
}

TEST_F(CaptureTest, AfterAStallTheFirstFramesAreTheOnesRecordedBeforeIt) {
    // 32 frames of sound, then silence once the file has ended.
    WriteFileBytes(InputFile(), PatternFrames(0, 32));
    CWaveDevice device;
    ASSERT_EQ(device.OpenCapture(128), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.CountCompleteCaptureBuffers() == 8; }));
    // Stalled: the device records on with no buffer to put it in, through
    // the rest of the file and into the silence after it.
    ASSERT_TRUE(WaitUntil([&] { return device.GetRecordedBytes() >= 40u * kFrame; }));
    Bytes frame(kFrame);
    for (int k = 0; k < 8; ++k) {
        ASSERT_EQ(device.GetCapturedFrame(frame.data()), 1);
        EXPECT_EQ(frame, PatternFrame(k)) << "frame " << k;
    }
    // Then current sound: frames 8 to 31 were lost during the stall.
    for (int k = 0; k < 8; ++k) {
        ASSERT_TRUE(NextFrame(device, &frame));
        EXPECT_TRUE(IsSilence(frame.data())) << "frame after the stall " << k;
    }
    EXPECT_EQ(device.CloseCapture(), 1);
}

// Where the bytes of a buffer start in the recording, or -1.
long long OffsetIn(const Bytes& recording, const Bytes& buffer) {
    auto at = std::search(recording.begin(), recording.end(), buffer.begin(), buffer.end());
    return at == recording.end() ? -1 : static_cast<long long>(at - recording.begin());
}

TEST_F(CaptureTest, DiscardThrowsAwayAStalledRingAndWhatFollowsWasRecordedAfterIt) {
    const Bytes recording = PatternFrames(0, 400);
    WriteFileBytes(InputFile(), recording);
    UseDiskDelay(4);
    CWaveDevice device;
    EXPECT_EQ(device.DiscardCapturedFrames(), 0) << "capture closed";
    ASSERT_EQ(device.OpenCapture(128), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.GetRecordedBytes() >= 20u * kFrame; }));
    ASSERT_EQ(device.CountCompleteCaptureBuffers(), 8);
    const std::uint64_t before = device.GetRecordedBytes();
    EXPECT_EQ(device.DiscardCapturedFrames(), 8);
    EXPECT_EQ(device.CountCompleteCaptureBuffers(), 0);
    Bytes frame;
    ASSERT_TRUE(NextFrame(device, &frame));
    const int first = PatternIndex(frame.data());
    EXPECT_GE(first, static_cast<int>(before / kFrame)) << "a frame from before the discard came out";
    // Then the recording goes on in order, nothing torn.
    for (int k = 1; k < 8; ++k) {
        ASSERT_TRUE(NextFrame(device, &frame));
        EXPECT_EQ(PatternIndex(frame.data()), first + k);
    }
    EXPECT_EQ(device.CloseCapture(), 1);
}

TEST_F(CaptureTest, DiscardWhileRecordingDropsTheBufferThatHoldsOlderSoundToo) {
    // Buffers of 100 bytes under device blocks of 128: after most blocks the
    // oldest queued buffer is part full of sound from before the discard.
    const Bytes recording = PatternFrames(0, 600);
    WriteFileBytes(InputFile(), recording);
    UseDiskDelay(8);
    CWaveDevice device;
    ASSERT_EQ(device.OpenCapture(100), 1);
    Bytes buffer(100);
    int checked = 0;
    for (int round = 0; round < 6; ++round) {
        // Keep up with the device for a while: nothing stalls.
        const std::uint64_t until = device.GetRecordedBytes() + 5u * kFrame;
        ASSERT_TRUE(WaitUntil([&] {
            while (device.GetCapturedFrame(buffer.data()) == 1) {
            }
            return device.GetRecordedBytes() >= until;
        }));
        const std::uint64_t before = device.GetRecordedBytes();
        device.DiscardCapturedFrames();
        ASSERT_TRUE(WaitUntil([&] { return device.GetCapturedFrame(buffer.data()) == 1; }));
        const long long at = OffsetIn(recording, buffer);
        ASSERT_GE(at, 0) << "not a piece of the recording";
        EXPECT_GE(at, static_cast<long long>(before)) << "round " << round;
        ++checked;
    }
    EXPECT_EQ(checked, 6);
    EXPECT_EQ(device.CloseCapture(), 1);
}

TEST_F(CaptureTest, CloseAndOpenAgainStartsAtBufferZero) {
    WriteFileBytes(InputFile(), PatternFrames(0, 16));
    CWaveDevice device;
    Bytes untouched(kFrame, 7);
    EXPECT_EQ(device.GetCapturedFrame(untouched.data()), 0);
    EXPECT_EQ(untouched, Bytes(kFrame, 7));
    EXPECT_EQ(device.CloseCapture(), 0) << "nothing open";

    ASSERT_EQ(device.OpenCapture(128), 1);
    Bytes frame;
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(NextFrame(device, &frame));
    EXPECT_EQ(device.GetCapturePosition(), 3);
    const platform::HWAVEIN first = device.GetCaptureDevice();
    ASSERT_EQ(device.CloseCapture(), 1);
    EXPECT_FALSE(device.IsCaptureOpen());
    EXPECT_EQ(device.GetCapturePosition(), 0);
    EXPECT_EQ(device.GetCaptureCount(), 0);
    EXPECT_EQ(platform::WaveInStop(first), platform::MMSYSERR_INVALHANDLE) << "device closed";
    EXPECT_EQ(device.CloseCapture(), 0);
    EXPECT_EQ(device.GetCapturedFrame(untouched.data()), 0);
    EXPECT_EQ(untouched, Bytes(kFrame, 7));

    ASSERT_EQ(device.OpenCapture(128), 1);
    EXPECT_EQ(device.GetCapturePosition(), 0);
    EXPECT_EQ(device.GetCaptureCount(), 8);
    ASSERT_TRUE(NextFrame(device, &frame));
    EXPECT_EQ(PatternIndex(frame.data()), 0) << "a new recording from the start";
    EXPECT_EQ(device.GetCapturePosition(), 1);
    EXPECT_EQ(device.CloseCapture(), 1);
}

TEST_F(CaptureTest, NoInputDeviceShowsOpenErrorAndLeavesCaptureClosed) {
    SetEnv("SDL_DISKAUDIOFILEIN", dir_.File("missing.raw"));
    CWaveDevice device;
    EXPECT_EQ(device.OpenCapture(128), 0);
    EXPECT_FALSE(device.IsCaptureOpen());
    EXPECT_EQ(device.GetCaptureCount(), 0);
    EXPECT_EQ(ShownMessages(), std::vector<std::string>{"Open error"});
    Bytes frame(kFrame);
    EXPECT_EQ(device.GetCapturedFrame(frame.data()), 0);
    EXPECT_EQ(device.CloseCapture(), 0);

    ClearShownMessages();
    UseDriver("no-such-driver");
    EXPECT_EQ(device.OpenCapture(128), 0);
    EXPECT_EQ(ShownMessages(), std::vector<std::string>{"Open error"});

    // Once there is a device again, capture opens.
    UseDriver("disk");
    WriteFileBytes(dir_.File("missing.raw"), PatternFrames(0, 2));
    ASSERT_EQ(device.OpenCapture(128), 1);
    ASSERT_TRUE(NextFrame(device, &frame));
    EXPECT_EQ(frame, PatternFrame(0));
    EXPECT_EQ(device.CloseCapture(), 1);
}

// --- Playback ---------------------------------------------------------------

TEST_F(PlaybackTest, SlotCountIsAtLeastOneAndAtMost64) {
    CWaveDevice device;
    EXPECT_EQ(device.OpenPlayback(nullptr, 0, 0), 0);
    EXPECT_EQ(device.OpenPlayback(nullptr, 0, -5), 0);
    EXPECT_FALSE(device.IsPlaybackOpen());
    EXPECT_FALSE(std::filesystem::exists(OutputFile())) << "no device was opened";

    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 100), 1);
    EXPECT_EQ(device.GetPlaybackSlotCount(), 64);
    EXPECT_EQ(device.GetPlaybackPosition(), 1);
    EXPECT_EQ(device.OpenPlayback(nullptr, 0, 40), 0) << "already open";
    EXPECT_EQ(device.GetPlaybackSlotCount(), 64);
    ASSERT_EQ(device.ClosePlayback(), 1);
    EXPECT_EQ(device.GetPlaybackSlotCount(), 0);

    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    EXPECT_EQ(device.GetPlaybackSlotCount(), 40);
    ASSERT_EQ(device.ClosePlayback(), 1);

    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 1), 1);
    EXPECT_EQ(device.GetPlaybackPosition(), 0) << "one slot: the position wraps at once";
    ASSERT_EQ(device.ClosePlayback(), 1);
    EXPECT_TRUE(ShownMessages().empty());
}

TEST_F(PlaybackTest, AFrameIsDroppedWhileItsSlotStillPlays) {
    CWaveDevice device;
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    EXPECT_EQ(device.GetPlaybackPosition(), 1) << "slot 0 holds the empty opening block";
    // The empty block finishes as soon as the device reaches it; then the
    // device is held so that nothing else finishes.
    ASSERT_TRUE(WaitUntil([&] { return device.IsPlaybackSlotFree(0); }));
    ASSERT_EQ(platform::WaveOutPause(device.GetPlaybackDevice()), platform::MMSYSERR_NOERROR);

    for (int k = 1; k <= 39; ++k) {
        ASSERT_EQ(device.PlayFrame(PatternFrame(k).data(), kFrame), 1) << k;
        EXPECT_FALSE(device.IsPlaybackSlotFree(k));
    }
    EXPECT_EQ(device.GetPlaybackPosition(), 0);
    ASSERT_EQ(device.PlayFrame(PatternFrame(40).data(), kFrame), 1) << "slot 0 is free again";
    EXPECT_EQ(device.GetPlaybackPosition(), 1);
    EXPECT_EQ(device.PlayFrame(PatternFrame(41).data(), kFrame), 0) << "slot 1 still plays";
    EXPECT_EQ(device.PlayFrame(PatternFrame(42).data(), kFrame), 0);
    EXPECT_EQ(device.GetPlaybackPosition(), 1);
    EXPECT_EQ(device.GetUnplayedBytes(), 40u * kFrame) << "dropped frames are not waiting to be heard";

    ASSERT_EQ(platform::WaveOutRestart(device.GetPlaybackDevice()), platform::MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return device.IsPlaybackSlotFree(0); }));
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(device.IsPlaybackSlotFree(i)) << i;
    ASSERT_EQ(device.PlayFrame(PatternFrame(43).data(), kFrame), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.IsPlaybackSlotFree(1); }));
    ASSERT_EQ(device.ClosePlayback(), 1);

    // Played in arrival order, the dropped ones nowhere.
    Bytes expected = PatternFrames(1, 40);
    const Bytes last = PatternFrame(43);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(WithoutSilence(ReadFileBytes(OutputFile())), expected);
}

TEST_F(PlaybackTest, QueuedBlocksAndPlayedBytesAreCounted) {
    CWaveDevice device;
    EXPECT_EQ(device.CountQueuedPlaybackBlocks(), 0);
    EXPECT_EQ(device.GetPlayedBytes(), 0u);
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.IsPlaybackSlotFree(0); }));
    ASSERT_EQ(platform::WaveOutPause(device.GetPlaybackDevice()), platform::MMSYSERR_NOERROR);
    for (int k = 1; k <= 5; ++k) ASSERT_EQ(device.PlayFrame(PatternFrame(k).data(), kFrame), 1);
    EXPECT_EQ(device.CountQueuedPlaybackBlocks(), 5);
    EXPECT_EQ(device.GetPlayedBytes(), 0u);
    EXPECT_EQ(device.GetUnplayedBytes(), 5u * kFrame);
    ASSERT_EQ(platform::WaveOutRestart(device.GetPlaybackDevice()), platform::MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return device.CountQueuedPlaybackBlocks() == 0; }));
    ASSERT_TRUE(WaitUntil([&] { return device.GetPlayedBytes() == 5u * kFrame; }));
    EXPECT_EQ(device.GetUnplayedBytes(), 0u);
    ASSERT_EQ(device.ClosePlayback(), 1);
    EXPECT_EQ(device.CountQueuedPlaybackBlocks(), 0);
}

TEST_F(PlaybackTest, FramesReachTheOutputByteExactThroughReusedSlots) {
    // An opening block with sound, then 30 frames through a ring of 3
    // slots, each written once its slot is free again.
    const Bytes opening = PatternFrames(100, 1);
    CWaveDevice device;
    ASSERT_EQ(device.OpenPlayback(opening.data(), kFrame, 3), 1);
    int dropped = 0;
    for (int k = 0; k < 30; ++k) {
        const Bytes frame = PatternFrame(k);
        ASSERT_TRUE(WaitUntil([&] {
            if (device.PlayFrame(frame.data(), kFrame) == 1) return true;
            ++dropped;
            return false;
        }));
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < 3; ++i) {
            if (!device.IsPlaybackSlotFree(i)) return false;
        }
        return true;
    }));
    ASSERT_EQ(device.ClosePlayback(), 1);
    Bytes expected = opening;
    const Bytes frames = PatternFrames(0, 30);
    expected.insert(expected.end(), frames.begin(), frames.end());
    EXPECT_EQ(WithoutSilence(ReadFileBytes(OutputFile())), expected);
    std::printf("[ info ] %d attempts found the slot still playing and were retried\n", dropped);
}

TEST_F(PlaybackTest, CloseAndOpenAgain) {
    CWaveDevice device;
    EXPECT_EQ(device.PlayFrame(PatternFrame(0).data(), kFrame), 0) << "closed";
    EXPECT_EQ(device.ClosePlayback(), 0) << "nothing open";
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    ASSERT_EQ(device.PlayFrame(PatternFrame(1).data(), kFrame), 1);
    const platform::HWAVEOUT first = device.GetPlaybackDevice();
    ASSERT_EQ(device.ClosePlayback(), 1);
    EXPECT_FALSE(device.IsPlaybackOpen());
    EXPECT_EQ(device.GetPlaybackPosition(), 0);
    EXPECT_EQ(platform::WaveOutReset(first), platform::MMSYSERR_INVALHANDLE) << "device closed";
    EXPECT_EQ(device.ClosePlayback(), 0);
    EXPECT_EQ(device.PlayFrame(PatternFrame(2).data(), kFrame), 0);

    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    EXPECT_EQ(device.GetPlaybackPosition(), 1);
    ASSERT_EQ(device.PlayFrame(PatternFrame(3).data(), kFrame), 1);
    ASSERT_TRUE(WaitUntil([&] { return device.IsPlaybackSlotFree(1); }));
    ASSERT_EQ(device.ClosePlayback(), 1);
    // The second open wrote a new file.
    EXPECT_EQ(WithoutSilence(ReadFileBytes(OutputFile())), PatternFrame(3));
}

TEST_F(PlaybackTest, NoOutputDeviceLeavesPlaybackClosedWithoutAMessage) {
    SetEnv("SDL_DISKAUDIOFILE", dir_.File("no-such-folder/out.raw"));
    CWaveDevice device;
    EXPECT_EQ(device.OpenPlayback(nullptr, 0, 40), 0);
    EXPECT_FALSE(device.IsPlaybackOpen());
    EXPECT_EQ(device.GetPlaybackSlotCount(), 0);
    EXPECT_EQ(device.PlayFrame(PatternFrame(0).data(), kFrame), 0);
    UseDriver("no-such-driver");
    EXPECT_EQ(device.OpenPlayback(nullptr, 0, 40), 0);
    EXPECT_EQ(device.ClosePlayback(), 0);
    EXPECT_TRUE(ShownMessages().empty());
}

TEST_F(PlaybackTest, BadFramesAreRefused) {
    CWaveDevice device;
    EXPECT_EQ(device.OpenPlayback(nullptr, 5, 40), 0) << "no data for 5 bytes";
    EXPECT_EQ(device.OpenPlayback(PatternFrame(0).data(), -1, 40), 0);
    EXPECT_FALSE(device.IsPlaybackOpen());
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    EXPECT_EQ(device.PlayFrame(nullptr, kFrame), 0);
    EXPECT_EQ(device.PlayFrame(PatternFrame(0).data(), -1), 0);
    EXPECT_EQ(device.GetPlaybackPosition(), 1);
    EXPECT_EQ(device.ClosePlayback(), 1);
}

// --- Both halves ------------------------------------------------------------

TEST_F(WaveDeviceTest, DestructionClosesDevicesThatAreStillOpen) {
    WriteFileBytes(InputFile(), PatternFrames(0, 16));
    platform::HWAVEIN in{};
    platform::HWAVEOUT out{};
    {
        CWaveDevice device;
        ASSERT_EQ(device.OpenCapture(128), 1);
        ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
        in = device.GetCaptureDevice();
        out = device.GetPlaybackDevice();
        // Blocks still queued at destruction: they must be handed back before
        // their buffers go.
        ASSERT_EQ(platform::WaveOutPause(out), platform::MMSYSERR_NOERROR);
        for (int k = 0; k < 5; ++k) ASSERT_EQ(device.PlayFrame(PatternFrame(k).data(), kFrame), 1);
        ASSERT_TRUE(WaitUntil([&] { return device.CountCompleteCaptureBuffers() >= 2; }));
    }
    EXPECT_EQ(platform::WaveInStop(in), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::WaveOutReset(out), platform::MMSYSERR_INVALHANDLE);
    EXPECT_TRUE(WithoutSilence(ReadFileBytes(OutputFile())).empty()) << "reset, not played";

    // Nothing left behind: both open again.
    CWaveDevice again;
    EXPECT_EQ(again.OpenCapture(128), 1);
    EXPECT_EQ(again.OpenPlayback(nullptr, 0, 40), 1);
    Bytes frame;
    ASSERT_TRUE(NextFrame(again, &frame));
    EXPECT_EQ(frame, PatternFrame(0));
}

TEST_F(WaveDeviceTest, DummyDriverRecordsSilenceAndFinishesEveryFrame) {
    UseDriver("dummy");
    CWaveDevice device;
    ASSERT_EQ(device.OpenCapture(128), 1);
    ASSERT_EQ(device.OpenPlayback(nullptr, 0, 40), 1);
    Bytes frame;
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(NextFrame(device, &frame));
        EXPECT_TRUE(IsSilence(frame.data()));
        ASSERT_EQ(device.PlayFrame(PatternFrame(k).data(), kFrame), 1);
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (int i = 0; i < 5; ++i) {
            if (!device.IsPlaybackSlotFree(i)) return false;
        }
        return true;
    }));
    EXPECT_EQ(device.CloseCapture(), 1);
    EXPECT_EQ(device.ClosePlayback(), 1);
}

// --- Signals ----------------------------------------------------------------

TEST(SoundSignals, OpenDevicesLeaveTermToTheProgram) {
    // A small program that opens both devices and then waits to be ended.
    platform::ChildProcess child;
    ASSERT_TRUE(child.Start(VOICE_HOLD_DEVICES_OPEN, {}, {"SDL_AUDIODRIVER=dummy"}));
    std::string out;
    ASSERT_TRUE(child.WaitForOutput("devices open", 20000, &out)) << out;
    child.Terminate();
    int code = -1;
    ASSERT_TRUE(child.Wait(20000, &code)) << "the sound library swallowed SIGTERM";
    EXPECT_EQ(code, 128 + 15);
}
