// The wave-in/wave-out layer itself, over SDL's disk driver: results,
// header flags, the order of completions and the bytes.
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sound.h"
#include "platform/step_clock.h"
#include "sound_fixture.h"

using namespace platform;
using namespace voicetest;

namespace {

// Every callback message, in order.
struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> calls;

    static void In(HWAVEIN, std::uint32_t message, std::uintptr_t instance, std::uintptr_t param1,
                   std::uintptr_t) {
        auto* self = reinterpret_cast<Recorder*>(instance);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->calls.emplace_back(message, param1);
    }
    static void Out(HWAVEOUT, std::uint32_t message, std::uintptr_t instance,
                    std::uintptr_t param1, std::uintptr_t) {
        In(HWAVEIN{}, message, instance, param1, 0);
    }
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

std::uintptr_t Address(const WAVEHDR& h) { return reinterpret_cast<std::uintptr_t>(&h); }

struct Block {
    Bytes bytes;
    WAVEHDR header;
    explicit Block(Bytes b) : bytes(std::move(b)) {
        header.lpData = reinterpret_cast<char*>(bytes.data());
        header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
    }
    bool Done() const { return (header.dwFlags.load() & WHDR_DONE) != 0; }
    bool Queued() const { return (header.dwFlags.load() & WHDR_INQUEUE) != 0; }
};

class WaveInTest : public SoundTest {};
class WaveOutTest : public SoundTest {};

}  // namespace

TEST_F(WaveInTest, QueuedBuffersFillInQueueOrderWithTheRecordedBytes) {
    WriteFileBytes(InputFile(), PatternFrames(0, 6));
    Recorder recorder;
    HWAVEIN in{};
    ASSERT_EQ(WaveInOpen(&in, WAVE_MAPPER, WAVEFORMATEX{}, &Recorder::In,
                         reinterpret_cast<std::uintptr_t>(&recorder)),
              MMSYSERR_NOERROR);
    std::vector<std::unique_ptr<Block>> blocks;
    for (int i = 0; i < 4; ++i) blocks.push_back(std::make_unique<Block>(Bytes(kFrame, 0)));

    EXPECT_EQ(WaveInAddBuffer(in, &blocks[0]->header), WAVERR_UNPREPARED);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(WaveInPrepareHeader(in, &blocks[i]->header), MMSYSERR_NOERROR);
        EXPECT_EQ(blocks[i]->header.dwFlags.load(), WHDR_PREPARED);
        ASSERT_EQ(WaveInAddBuffer(in, &blocks[i]->header), MMSYSERR_NOERROR);
        EXPECT_EQ(blocks[i]->header.dwFlags.load(), WHDR_PREPARED | WHDR_INQUEUE);
    }
    EXPECT_EQ(WaveInAddBuffer(in, &blocks[1]->header), WAVERR_STILLPLAYING);
    EXPECT_EQ(WaveInUnprepareHeader(in, &blocks[1]->header), WAVERR_STILLPLAYING);
    EXPECT_EQ(WaveInClose(in), WAVERR_STILLPLAYING);

    ASSERT_EQ(WaveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return blocks[2]->Done(); }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(blocks[i]->header.dwBytesRecorded.load(), 128u);
        EXPECT_EQ(blocks[i]->header.dwFlags.load(), WHDR_PREPARED | WHDR_DONE);
        EXPECT_EQ(blocks[i]->bytes, PatternFrame(i)) << "buffer " << i;
    }
    // Sound that arrives with no buffer queued is lost: once frames 3 and 4
    // have come in, a buffer queued now gets later sound.
    std::uint64_t position = 0;
    ASSERT_TRUE(WaitUntil([&] {
        return WaveInGetPosition(in, &position) == MMSYSERR_NOERROR && position >= 5 * kFrame;
    }));
    ASSERT_EQ(WaveInPrepareHeader(in, &blocks[3]->header), MMSYSERR_NOERROR);
    ASSERT_EQ(WaveInAddBuffer(in, &blocks[3]->header), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return blocks[3]->Done(); }));
    const int later = PatternIndex(blocks[3]->bytes.data());
    EXPECT_TRUE(later >= 5 || IsSilence(blocks[3]->bytes.data())) << later;

    ASSERT_EQ(WaveInStop(in), MMSYSERR_NOERROR);
    ASSERT_EQ(WaveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(WaveInStop(in), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveInReset(in), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveInClose(in), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveInPrepareHeader(in, &blocks[0]->header), MMSYSERR_INVALHANDLE);

    const auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].first, WIM_OPEN);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[1 + i], std::make_pair(WIM_DATA, Address(blocks[i]->header)));
    }
    EXPECT_EQ(calls[5].first, WIM_CLOSE);
}

TEST_F(WaveInTest, StopHandsBackAPartlyFilledBufferAndResetTheRest) {
    // 1000 frames take about a second at one SDL buffer per millisecond.
    const Bytes recording = PatternFrames(0, 1000);
    WriteFileBytes(InputFile(), recording);
    HWAVEIN in{};
    ASSERT_EQ(WaveInOpen(&in, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_NOERROR);
    Block big(Bytes(recording.size() + 4096, 0));
    Block next(Bytes(kFrame, 0));
    for (Block* b : {&big, &next}) {
        ASSERT_EQ(WaveInPrepareHeader(in, &b->header), MMSYSERR_NOERROR);
        ASSERT_EQ(WaveInAddBuffer(in, &b->header), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(WaveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return big.header.dwBytesRecorded.load() >= 4 * kFrame; }));
    ASSERT_EQ(WaveInStop(in), MMSYSERR_NOERROR);

    EXPECT_TRUE(big.Done());
    EXPECT_FALSE(big.Queued());
    const std::uint32_t got = big.header.dwBytesRecorded.load();
    EXPECT_LT(got, big.header.dwBufferLength);
    EXPECT_TRUE(std::equal(big.bytes.begin(), big.bytes.begin() + got, recording.begin()));
    EXPECT_TRUE(next.Queued()) << "an empty buffer stays queued";
    EXPECT_EQ(WaveInClose(in), WAVERR_STILLPLAYING);

    ASSERT_EQ(WaveInReset(in), MMSYSERR_NOERROR);
    EXPECT_TRUE(next.Done());
    EXPECT_FALSE(next.Queued());
    EXPECT_EQ(next.header.dwBytesRecorded.load(), 0u);
    EXPECT_EQ(WaveInUnprepareHeader(in, &next.header), MMSYSERR_NOERROR);
    EXPECT_EQ(next.header.dwFlags.load(), WHDR_DONE);
    EXPECT_EQ(WaveInClose(in), MMSYSERR_NOERROR);
}

TEST_F(WaveInTest, PositionCountsSoundThatFoundNoBuffer) {
    WriteFileBytes(InputFile(), Bytes{});
    HWAVEIN in{};
    ASSERT_EQ(WaveInOpen(&in, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_NOERROR);
    std::uint64_t position = 99;
    ASSERT_EQ(WaveInGetPosition(in, &position), MMSYSERR_NOERROR);
    EXPECT_EQ(position, 0u);
    ASSERT_EQ(WaveInStart(in), MMSYSERR_NOERROR);
    // An empty input file: past its end the disk driver records silence.
    EXPECT_TRUE(WaitUntil([&] {
        return WaveInGetPosition(in, &position) == MMSYSERR_NOERROR && position >= 10 * kFrame;
    }));
    EXPECT_EQ(WaveInClose(in), MMSYSERR_NOERROR);
}

// At 48 kHz the device steps 5 ms (240 samples) at a time, half a 10 ms
// frame: a frame is complete when a step ends, never one step into the next.
TEST_F(WaveInTest, At48kHzTheDeviceStepsHalfATenMillisecondFrame) {
    WriteFileBytes(InputFile(), Bytes{});
    WAVEFORMATEX format;
    format.nSamplesPerSec = 48000;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 96000;
    HWAVEIN in{};
    ASSERT_EQ(WaveInOpen(&in, WAVE_MAPPER, format, nullptr, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(WaveInStart(in), MMSYSERR_NOERROR);
    constexpr std::uint64_t kStepBytes = 2 * 240;
    std::vector<std::uint64_t> offStep;
    std::uint64_t position = 0;
    EXPECT_TRUE(WaitUntil([&] {
        if (WaveInGetPosition(in, &position) != MMSYSERR_NOERROR) return true;
        if (position % kStepBytes != 0) offStep.push_back(position);
        return position >= 20 * kStepBytes;
    }));
    EXPECT_TRUE(offStep.empty()) << ::testing::PrintToString(offStep);
    EXPECT_EQ(WaveInClose(in), MMSYSERR_NOERROR);
}

// With the steady clock the disk driver's own sleep (1 ms here) only says
// how often it looks: the device takes a step when the clock says it is
// due, so 40 steps of 5 ms take at least 39 steps' time (without the clock
// this driver would take them in some 40 ms).
TEST_F(WaveInTest, OnASteadyClockTheDiskDeviceTakesNoStepBeforeItIsDue) {
    WriteFileBytes(InputFile(), Bytes{});
    SetEnv(kSteadyDiskSoundVariable, "1");
    WAVEFORMATEX format;
    format.nSamplesPerSec = 48000;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 96000;
    constexpr std::uint64_t kStepBytes = 2 * 240;
    for (int round = 0; round < 2; ++round) {
        // A second start after a stop owes nothing for the time stopped.
        HWAVEIN in{};
        ASSERT_EQ(WaveInOpen(&in, WAVE_MAPPER, format, nullptr, 0), MMSYSERR_NOERROR);
        if (round == 1) {
            ASSERT_EQ(WaveInStart(in), MMSYSERR_NOERROR);
            std::uint64_t position = 0;
            ASSERT_TRUE(WaitUntil([&] { return WaveInGetPosition(in, &position) == 0 && position >= kStepBytes; }));
            ASSERT_EQ(WaveInStop(in), MMSYSERR_NOERROR);
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(WaveInStart(in), MMSYSERR_NOERROR);
        std::uint64_t position = 0;
        std::vector<double> early;  // ms a step came before its time
        ASSERT_TRUE(WaitUntil([&] {
            if (WaveInGetPosition(in, &position) != MMSYSERR_NOERROR) return true;
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
            const double due = (static_cast<double>(position / kStepBytes) - 1) * 5.0;
            if (ms < due) early.push_back(due - ms);
            return position >= 40 * kStepBytes;
        }));
        EXPECT_TRUE(early.empty()) << "round " << round << ": " << ::testing::PrintToString(early);
        EXPECT_EQ(WaveInReset(in), MMSYSERR_NOERROR);
        EXPECT_EQ(WaveInClose(in), MMSYSERR_NOERROR);
    }
}

TEST_F(WaveInTest, OpeningFailsCleanlyWithoutDriverDeviceOrFormat) {
    WriteFileBytes(InputFile(), PatternFrames(0, 1));
    HWAVEIN in{};
    WAVEFORMATEX bad;
    bad.wBitsPerSample = 12;
    EXPECT_EQ(WaveInOpen(&in, WAVE_MAPPER, bad, nullptr, 0), WAVERR_BADFORMAT);
    bad = WAVEFORMATEX{};
    bad.nBlockAlign = 2;
    EXPECT_EQ(WaveInOpen(&in, WAVE_MAPPER, bad, nullptr, 0), WAVERR_BADFORMAT);
    EXPECT_EQ(WaveInOpen(&in, 0, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(WaveInOpen(nullptr, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_INVALPARAM);

    SetEnv("SDL_DISKAUDIOFILEIN", dir_.File("missing.raw"));
    EXPECT_EQ(WaveInOpen(&in, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_BADDEVICEID);
    UseDriver("no-such-driver");
    EXPECT_EQ(WaveInOpen(&in, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_NODRIVER);
    EXPECT_EQ(in, HWAVEIN{});
    EXPECT_EQ(WaveInStop(HWAVEIN{}), MMSYSERR_INVALHANDLE);

    // Nothing stuck from the failures: the next open works.
    UseDriver("disk");
    SetEnv("SDL_DISKAUDIOFILEIN", InputFile());
    ASSERT_EQ(WaveInOpen(&in, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(WaveInClose(in), MMSYSERR_NOERROR);
    HWAVEOUT out{};
    EXPECT_EQ(WaveOutReset(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveOutClose(static_cast<HWAVEOUT>(static_cast<std::uint32_t>(in))),
              MMSYSERR_INVALHANDLE)
        << "an input handle is no output handle";
}

// The device takes a chunk of 128 bytes per step; the position moves
// through each chunk at 8 bytes a millisecond, never back, never past what
// was written, and stops where the written sound ends.
TEST_F(WaveOutTest, ThePositionMovesThroughEachChunkAtTheSampleRate) {
    UseDiskDelay(40);  // a step every 40 ms: 16 ms of sound, then a pause
    HWAVEOUT out{};
    ASSERT_EQ(WaveOutOpen(&out, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_NOERROR);
    Block block(PatternFrames(0, 40));
    ASSERT_EQ(WaveOutPrepareHeader(out, &block.header), MMSYSERR_NOERROR);
    ASSERT_EQ(WaveOutWrite(out, &block.header), MMSYSERR_NOERROR);
    std::uint64_t last = 0;
    bool between = false, backwards = false, beyond = false;
    ASSERT_TRUE(WaitUntil([&] {
        std::uint64_t now = 0;
        if (WaveOutGetPosition(out, &now) != MMSYSERR_NOERROR) return true;
        backwards |= now < last;
        beyond |= now > block.bytes.size();
        between |= now % 128 != 0;
        last = now;
        return between && now == block.bytes.size();
    }));
    EXPECT_FALSE(backwards);
    EXPECT_FALSE(beyond);
    EXPECT_TRUE(block.Done());
    ASSERT_EQ(WaveOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTest, BlocksPlayBackToBackInWriteOrder) {
    Recorder recorder;
    HWAVEOUT out{};
    ASSERT_EQ(WaveOutOpen(&out, WAVE_MAPPER, WAVEFORMATEX{}, &Recorder::Out,
                          reinterpret_cast<std::uintptr_t>(&recorder)),
              MMSYSERR_NOERROR);
    // Odd sizes and an empty block: blocks need not match SDL's buffers.
    Bytes first = PatternFrames(0, 3);
    first.resize(300);
    Block a(first), empty(Bytes{}), b(PatternFrames(3, 2));
    EXPECT_EQ(WaveOutWrite(out, &a.header), WAVERR_UNPREPARED);
    ASSERT_EQ(WaveOutPause(out), MMSYSERR_NOERROR);
    for (Block* block : {&a, &empty, &b}) {
        ASSERT_EQ(WaveOutPrepareHeader(out, &block->header), MMSYSERR_NOERROR);
        ASSERT_EQ(WaveOutWrite(out, &block->header), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(WaveOutWrite(out, &b.header), WAVERR_STILLPLAYING);
    ASSERT_EQ(WaveOutRestart(out), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return b.Done(); }));
    for (Block* block : {&a, &empty, &b}) {
        EXPECT_EQ(block->header.dwFlags.load(), WHDR_PREPARED | WHDR_DONE);
    }
    // Handed back once taken; heard in full a moment later.
    std::uint64_t played = 0;
    ASSERT_EQ(WaveOutGetPosition(out, &played), MMSYSERR_NOERROR);
    EXPECT_LE(played, 300u + 256u);
    ASSERT_TRUE(WaitUntil([&] { return WaveOutGetPosition(out, &played) == MMSYSERR_NOERROR && played == 300u + 256u; }));
    ASSERT_EQ(WaveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(WaveOutReset(out), MMSYSERR_INVALHANDLE);

    Bytes expected = first;
    expected.insert(expected.end(), b.bytes.begin(), b.bytes.end());
    EXPECT_EQ(WithoutSilence(ReadFileBytes(OutputFile())), expected);

    const auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].first, WOM_OPEN);
    EXPECT_EQ(calls[1], std::make_pair(WOM_DONE, Address(a.header)));
    EXPECT_EQ(calls[2], std::make_pair(WOM_DONE, Address(empty.header)));
    EXPECT_EQ(calls[3], std::make_pair(WOM_DONE, Address(b.header)));
    EXPECT_EQ(calls[4].first, WOM_CLOSE);
}

TEST_F(WaveOutTest, PausedBlocksWaitAndResetHandsThemBackUnplayed) {
    HWAVEOUT out{};
    ASSERT_EQ(WaveOutOpen(&out, WAVE_MAPPER, WAVEFORMATEX{}, nullptr, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(WaveOutPause(out), MMSYSERR_NOERROR);
    Block a(PatternFrames(0, 1)), b(PatternFrames(1, 1));
    for (Block* block : {&a, &b}) {
        ASSERT_EQ(WaveOutPrepareHeader(out, &block->header), MMSYSERR_NOERROR);
        ASSERT_EQ(WaveOutWrite(out, &block->header), MMSYSERR_NOERROR);
    }
    // The device runs on meanwhile, writing silence: wait until it has
    // written plenty, then the blocks must still be waiting.
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code ec;
        return std::filesystem::file_size(OutputFile(), ec) >= 32 * 1024 && !ec;
    }));
    EXPECT_TRUE(a.Queued());
    EXPECT_TRUE(b.Queued());
    EXPECT_FALSE(a.Done());
    EXPECT_EQ(WaveOutClose(out), WAVERR_STILLPLAYING);

    ASSERT_EQ(WaveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(a.header.dwFlags.load(), WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(b.header.dwFlags.load(), WHDR_PREPARED | WHDR_DONE);
    ASSERT_EQ(WaveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(WithoutSilence(ReadFileBytes(OutputFile())).empty());
}

// The clock alone, on times given to it.
TEST(StepClockTest, StepsAreDueAtTheirPlaceWhateverTheStepsBeforeThemCost) {
    using std::chrono::nanoseconds;
    using Clock = platform::StepClock::Clock;
    const Clock::time_point t0{std::chrono::seconds(100)};
    platform::StepClock clock(240, 48000);  // 5 ms
    EXPECT_EQ(clock.Due(t0), t0) << "the first step is due at once";
    EXPECT_EQ(clock.Due(t0 + nanoseconds(100)), t0 + std::chrono::milliseconds(5));
    // Taken late (11 ms in, a sleep that overshot): the step due at 10 ms
    // is due already, and the one after keeps its place at 15 ms.
    EXPECT_EQ(clock.Due(t0 + std::chrono::milliseconds(11)), t0 + std::chrono::milliseconds(10));
    EXPECT_EQ(clock.Due(t0 + std::chrono::microseconds(11050)), t0 + std::chrono::milliseconds(15));
    // A machine that stood still for more than 20 steps: no rush through
    // the backlog, the clock starts afresh where it is.
    const Clock::time_point late = t0 + std::chrono::milliseconds(20 + 101);
    EXPECT_EQ(clock.Due(late), late);
    EXPECT_EQ(clock.Due(late), late + std::chrono::milliseconds(5));
    clock.Restart();
    EXPECT_EQ(clock.Due(late + std::chrono::milliseconds(7)), late + std::chrono::milliseconds(7));

    // Steps that are no whole number of nanoseconds: the thousandth step of
    // 220 frames at 44.1 kHz (4988662.13... ns each) lies where 1000 such
    // steps end, not where a rounded step added up 1000 times would.
    platform::StepClock odd(220, 44100);
    Clock::time_point due = odd.Due(t0);
    for (int k = 1; k <= 1000; ++k) due = odd.Due(due);
    EXPECT_EQ(due, t0 + nanoseconds(4988662131LL));
}
