// The voice conference end to end: dialogs in this process with sound
// devices of their own (SDL's disk driver, a file to record from and one to
// play into for each), the real server program in between. Speech is made
// at test time. Also the client program itself against a stop signal while
// its sound devices are open.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "client/chat_client_dlg.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"
#include "platform/tools/process.h"
#include "protocol/voice_codec.h"
#include "server_process.h"
#include "voice_frames.h"

using namespace tessik;
using clienttest::DiskSound;
using clienttest::RecordingDialog;
using voicecheck::Bytes;
using voicecheck::Comparison;
using voicecheck::Frame;

namespace {

constexpr int kFrame = voicecheck::kFrameBytes;
// Silence in front of the speech of two speakers: the first frames of one
// are mixed alone until the other has started speaking as well.
constexpr int kLeadInFrames = 40;

// Runs the event loop, timers firing on time, until the condition holds or
// the time is up.
bool RunUntil(const std::function<bool()>& condition, int timeoutMs = 30000) {
    if (condition()) return true;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QElapsedTimer clock;
    clock.start();
    bool held = false;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition()) {
            held = true;
            loop.quit();
        } else if (clock.elapsed() > timeoutMs) {
            loop.quit();
        }
    });
    check.start(2);
    loop.exec();
    return held;
}

// A dialog with its sound files.
struct Member {
    explicit Member(const QTemporaryDir& dir, const std::string& name)
        : name(name),
          in(dir.filePath(QString::fromStdString(name + "-in.raw")).toStdString()),
          out(dir.filePath(QString::fromStdString(name + "-out.raw")).toStdString()) {}

    std::string name;
    std::string in;
    std::string out;
    RecordingDialog r;

    const CWaveDevice& Sound() const { return r.dialog.SoundDevice(); }
    bool PlaybackIdle() const {
        for (int slot = 0; slot < Sound().GetPlaybackSlotCount(); ++slot) {
            if (!Sound().IsPlaybackSlotFree(slot)) return false;
        }
        return true;
    }
};

// Logs the member in with its own files: SDL reads their names when the
// devices open, which Login does.
void LogIn(Member& m, std::uint16_t port, bool speak) {
    // These runs measure the classic voice, which the server also offers.
    m.r.dialog.SetAsksForWideband(false);
    {
        DiskSound sound(m.in, m.out);
        m.r.LoginTo(port, m.name);
    }
    ASSERT_TRUE(m.r.dialog.IsLoggedIn()) << (m.r.messages.empty() ? "" : m.r.messages.back());
    ASSERT_TRUE(m.Sound().IsCaptureOpen());
    ASSERT_TRUE(m.Sound().IsPlaybackOpen());
    // Pressed before the login reply: voice follows as soon as it is in.
    if (speak) qobject_cast<QPushButton*>(m.r.dialog.Control(IDC_SPEAK))->click();
}

// Takes the member off the floor, so that listeners' playback can run dry.
void StopSpeaking(Member& m) {
    ASSERT_TRUE(m.r.dialog.IsSpeaking()) << m.name;
    qobject_cast<QPushButton*>(m.r.dialog.Control(IDC_SPEAK))->click();
}

// Ends every session; playback writes the rest of its file as it closes.
void LogOut(const std::vector<Member*>& members) {
    for (Member* m : members) qobject_cast<QPushButton*>(m->r.dialog.Control(IDC_LOGOUT))->click();
    for (Member* m : members) {
        ASSERT_TRUE(RunUntil([&] { return !m->r.dialog.IsLoggedIn(); })) << m->name;
        EXPECT_TRUE(m->r.messages.empty()) << m->name << ": " << m->r.messages.front();
    }
}

// Speech as the disk driver records it, made by the project's script.
Bytes MakeSpeech(const QTemporaryDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.filePath(QString::fromStdString(name + "-speech.raw")).toStdString();
    platform::ChildProcess script;
    if (!script.Start("/bin/bash", {VOICE_SPEECH_SCRIPT, text, path})) {
        ADD_FAILURE() << "the speech script did not start";
        return {};
    }
    script.CloseInput();
    int code = -1;
    if (!script.Wait(60000, &code) || code != 0) {
        std::string error;
        script.ReadError(&error, 0);
        ADD_FAILURE() << "the speech script failed (" << code << "): " << error;
        return {};
    }
    return voicecheck::ReadFileBytes(path);
}

int FramesIn(const Bytes& bytes) { return static_cast<int>((bytes.size() + kFrame - 1) / kFrame); }

// The recording with one sample of every frame moved out of its codec step.
std::vector<Frame> Corrupted(std::vector<Frame> frames) {
    for (Frame& f : frames) f[64] = static_cast<std::uint8_t>(f[64] ^ 0x40);
    return frames;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

TEST(VoiceComparison, FindsSpeechAmongSilenceInOrderAndFailsWhenEitherSideIsWrong) {
    std::vector<Frame> recorded;
    for (int k = 0; k < 100; ++k) {
        Frame f = voicecheck::TaggedFrame(k);
        for (std::uint8_t& v : f) v = static_cast<std::uint8_t>(v | (k & 3));  // low bits the codec drops
        recorded.push_back(f);
    }
    Frame silence;
    silence.fill(voicecheck::kSilence);
    // What a listener hears of one speaker: each frame through the codec
    // itself, not through the comparison's own idea of it.
    std::vector<Frame> heard;
    for (const Frame& f : recorded) {
        heard.push_back(silence);  // idle playback between frames
        Frame coded = f;
        protocol::EncodeVoiceFrame(coded.data(), voicecheck::kFrameBytes);
        protocol::DecodeVoiceFrame(coded.data(), voicecheck::kFrameBytes);
        heard.push_back(coded);
    }
    Comparison c = voicecheck::CompareSingle(recorded, heard);
    EXPECT_EQ(c.heard, 100);
    EXPECT_EQ(c.matched, 100);
    EXPECT_EQ(c.covered, 100);

    // Wrong bytes, a wrong order, and frames missing each fail.
    EXPECT_LT(voicecheck::CompareSingle(Corrupted(recorded), heard).Precision(), 0.95);
    std::vector<Frame> reversed(heard.rbegin(), heard.rend());
    EXPECT_LT(voicecheck::CompareSingle(recorded, reversed).Precision(), 0.95);
    std::vector<Frame> half(heard.begin(), heard.begin() + 100);
    c = voicecheck::CompareSingle(recorded, half);
    EXPECT_EQ(c.Precision(), 1.0);
    EXPECT_LT(c.Coverage(), 0.95);

    // A mix worked out by hand: 201 and 102 come out of the codec as 200
    // and 100, their average 150 goes back through it as 148; 255 and 0 as
    // 252 and 0, then 126, then 124.
    Frame loud, quiet;
    loud.fill(201);
    quiet.fill(102);
    loud[1] = 255;
    quiet[1] = 0;
    const Frame mix = voicecheck::MixOfTwo(loud, quiet);
    EXPECT_EQ(mix[0], 148);
    EXPECT_EQ(mix[1], 124);
    EXPECT_EQ(mix[127], 148);

    // Two speakers, the second one three frames behind, its recording
    // shorter: silence after its end.
    std::vector<Frame> a(recorded.begin(), recorded.begin() + 60), b;
    for (int k = 0; k < 50; ++k) b.push_back(voicecheck::TaggedFrame(500 + k * 3));
    std::vector<Frame> mixed;
    for (int i = 3; i < 60; ++i) {
        mixed.push_back(voicecheck::MixOfTwo(a[i], i - 3 < 50 ? b[i - 3] : silence));
        mixed.push_back(silence);
    }
    c = voicecheck::CompareMix(a, b, mixed);
    EXPECT_EQ(c.offset, 3);
    EXPECT_EQ(c.matched, c.heard);
    EXPECT_GE(c.Coverage(), 0.95) << c.Describe();
    EXPECT_LT(voicecheck::CompareMix(a, Corrupted(b), mixed).Precision(), 0.95);
    // One speaker's frames alone are not the mix.
    EXPECT_LT(voicecheck::CompareMix(a, b, heard).Precision(), 0.95);
}

TEST(VoiceEndToEnd, TheListenerHearsTheSpeakersSpeech) {
    QTemporaryDir dir;
    const Bytes speech = MakeSpeech(dir, "a", "Testing the voice path, one two three.");
    ASSERT_GT(speech.size(), 8000u);
    clienttest::ServerProcess server(ORVANE_BINARY);
    ASSERT_TRUE(server.Started());

    Member a(dir, "a"), b(dir, "b");
    ASSERT_TRUE(voicecheck::WriteFileBytes(a.in, speech));
    ASSERT_TRUE(voicecheck::WriteFileBytes(b.in, {}));
    ASSERT_NO_FATAL_FAILURE(LogIn(b, server.Port(), false));
    ASSERT_NO_FATAL_FAILURE(LogIn(a, server.Port(), true));

    // The whole speech and a little silence after it; then the speaker stops
    // and playback takes everything it was given.
    const int frames = FramesIn(speech);
    ASSERT_TRUE(RunUntil([&] { return b.r.dialog.ReceivedVoiceFrames() >= frames + 16; }))
        << "sent " << a.r.dialog.SentVoiceFrames() << ", received " << b.r.dialog.ReceivedVoiceFrames();
    StopSpeaking(a);
    ASSERT_TRUE(RunUntil([&] { return b.PlaybackIdle() && a.PlaybackIdle(); }));
    RunUntil([] { return false; }, 100);  // the last block reaches the file
    LogOut({&a, &b});

    const std::vector<Frame> recorded = voicecheck::SplitFrames(speech);
    const Comparison heard = voicecheck::CompareSingle(recorded, voicecheck::SplitFrames(voicecheck::ReadFileBytes(b.out)));
    std::printf("listener: %s\n", heard.Describe().c_str());
    EXPECT_GE(heard.Precision(), 0.95) << heard.Describe();
    EXPECT_GE(heard.Coverage(), 0.95) << heard.Describe();
    EXPECT_GT(heard.expected, 60);
    // The speaker hears itself while it speaks, too.
    const Comparison own = voicecheck::CompareSingle(recorded, voicecheck::SplitFrames(voicecheck::ReadFileBytes(a.out)));
    EXPECT_GE(own.Precision(), 0.95) << own.Describe();
    EXPECT_GE(own.Coverage(), 0.95) << own.Describe();
    // The comparison is not one that anything passes.
    EXPECT_LT(voicecheck::CompareSingle(Corrupted(recorded), voicecheck::SplitFrames(voicecheck::ReadFileBytes(b.out)))
                  .Precision(),
              0.95);
}

TEST(VoiceEndToEnd, TheListenerHearsTheMixOfTwoSpeakers) {
    QTemporaryDir dir;
    const Bytes lead(kLeadInFrames * kFrame, voicecheck::kSilence);
    Bytes first = lead, second = lead;
    const Bytes said1 = MakeSpeech(dir, "a", "Testing the voice path, one two three.");
    const Bytes said2 = MakeSpeech(dir, "b", "Four five six, the second speaker joins in.");
    ASSERT_GT(said1.size(), 8000u);
    ASSERT_GT(said2.size(), 8000u);
    first.insert(first.end(), said1.begin(), said1.end());
    second.insert(second.end(), said2.begin(), said2.end());
    clienttest::ServerProcess server(ORVANE_BINARY);
    ASSERT_TRUE(server.Started());

    Member a(dir, "a"), b(dir, "b"), c(dir, "c");
    ASSERT_TRUE(voicecheck::WriteFileBytes(a.in, first));
    ASSERT_TRUE(voicecheck::WriteFileBytes(b.in, second));
    ASSERT_TRUE(voicecheck::WriteFileBytes(c.in, {}));
    ASSERT_NO_FATAL_FAILURE(LogIn(c, server.Port(), false));
    ASSERT_NO_FATAL_FAILURE(LogIn(a, server.Port(), true));
    ASSERT_NO_FATAL_FAILURE(LogIn(b, server.Port(), true));

    const int frames = std::max(FramesIn(first), FramesIn(second));
    ASSERT_TRUE(RunUntil([&] { return c.r.dialog.ReceivedVoiceFrames() >= frames + 30; }))
        << "sent " << a.r.dialog.SentVoiceFrames() << " and " << b.r.dialog.SentVoiceFrames() << ", received "
        << c.r.dialog.ReceivedVoiceFrames();
    StopSpeaking(a);
    StopSpeaking(b);
    ASSERT_TRUE(RunUntil([&] { return c.PlaybackIdle(); }));
    RunUntil([] { return false; }, 100);
    LogOut({&a, &b, &c});

    const std::vector<Frame> heardFrames = voicecheck::SplitFrames(voicecheck::ReadFileBytes(c.out));
    const std::vector<Frame> recorded1 = voicecheck::SplitFrames(first);
    const std::vector<Frame> recorded2 = voicecheck::SplitFrames(second);
    const Comparison heard = voicecheck::CompareMix(recorded1, recorded2, heardFrames);
    std::printf("listener: %s\n", heard.Describe().c_str());
    EXPECT_GE(heard.Precision(), 0.95) << heard.Describe();
    EXPECT_GE(heard.Coverage(), 0.95) << heard.Describe();
    EXPECT_GT(heard.expected, 100);
    EXPECT_LT(voicecheck::CompareMix(recorded1, Corrupted(recorded2), heardFrames).Precision(), 0.95);
    // Neither voice alone is what was heard.
    EXPECT_LT(voicecheck::CompareSingle(recorded1, heardFrames).Precision(), 0.5);
    EXPECT_LT(voicecheck::CompareSingle(recorded2, heardFrames).Precision(), 0.5);
}

// Printed, not asserted: from the moment a frame is complete in the
// speaker's capture to the moment the listener hands it to playback, over
// 200 tagged frames at real-time pace.
TEST(VoiceEndToEnd, LatencyFromCaptureToPlaybackIsMeasured) {
    constexpr int kFrames = 200;
    QTemporaryDir dir;
    clienttest::ServerProcess server(ORVANE_BINARY);
    ASSERT_TRUE(server.Started());
    Member a(dir, "a"), b(dir, "b");
    ASSERT_TRUE(voicecheck::WriteFileBytes(a.in, voicecheck::TaggedFrames(0, kFrames)));
    ASSERT_TRUE(voicecheck::WriteFileBytes(b.in, {}));

    // Every millisecond: how many frames the speaker's capture has
    // completed, and how many frames the listener's playback has taken.
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> completed, handedOver;
    QTimer observer;
    observer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&observer, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        if (a.Sound().IsCaptureOpen()) {
            const std::uint64_t bytes = a.Sound().GetRecordedBytes();
            while (completed.size() < static_cast<size_t>(kFrames) && bytes >= (completed.size() + 1) * kFrame) completed.push_back(now);
        }
        while (static_cast<int>(handedOver.size()) < b.r.dialog.PlayedVoiceFrames()) handedOver.push_back(now);
    });
    observer.start(1);

    ASSERT_NO_FATAL_FAILURE(LogIn(b, server.Port(), false));
    ASSERT_NO_FATAL_FAILURE(LogIn(a, server.Port(), true));
    ASSERT_TRUE(RunUntil([&] { return b.r.dialog.ReceivedVoiceFrames() >= kFrames + 16; }));
    StopSpeaking(a);
    ASSERT_TRUE(RunUntil([&] { return b.PlaybackIdle(); }));
    observer.stop();
    const int received = b.r.dialog.ReceivedVoiceFrames();
    const int played = b.r.dialog.PlayedVoiceFrames();
    RunUntil([] { return false; }, 100);
    LogOut({&a, &b});

    // Playback's output in order is the frames it took, in order; after the
    // tagged ones come the speaker's silence frames. Sound the play-out
    // buffer made up, when frames came close to their turn, is left out.
    const std::vector<int> tags = voicecheck::WithoutMadeUp(voicecheck::PlayedTags(voicecheck::ReadFileBytes(b.out)),
                                                            b.r.dialog.Playout().GetStats().stretched);
    ASSERT_FALSE(tags.empty());
    EXPECT_EQ(std::count(tags.begin(), tags.end(), -1), 0);
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
    EXPECT_GE(static_cast<int>(tags.size()), kFrames * 95 / 100);
    ASSERT_LE(tags.size(), handedOver.size());
    ASSERT_EQ(completed.size(), static_cast<size_t>(kFrames));

    std::vector<double> latencies;
    for (size_t j = 0; j < tags.size(); ++j) {
        if (tags[j] < 0) continue;
        latencies.push_back(std::chrono::duration<double, std::milli>(handedOver[j] - completed[static_cast<size_t>(tags[j])]).count());
    }
    const int lost = kFrames - static_cast<int>(tags.size());
    std::printf("voice latency, capture complete to playback hand-over: p50 %.1f ms, p95 %.1f ms over %zu "
                "frames; dropped at playback %d of %d received; tagged frames never played %d of %d\n",
                Percentile(latencies, 0.50), Percentile(latencies, 0.95), latencies.size(), received - played,
                received, lost, kFrames);
    RecordProperty("latency_p50_ms", std::to_string(Percentile(latencies, 0.50)));
    RecordProperty("latency_p95_ms", std::to_string(Percentile(latencies, 0.95)));
    RecordProperty("dropped_at_playback", received - played);
}

// SDL installs no handlers of its own: a stop signal ends the client while
// its capture and playback are open.
TEST(TessikProgram, AStopSignalEndsItWhileItsSoundDevicesAreOpen) {
    QTemporaryDir dir;
    clienttest::ServerProcess server(ORVANE_BINARY);
    ASSERT_TRUE(server.Started());
    const std::string in = dir.filePath(QStringLiteral("in.raw")).toStdString();
    const std::string out = dir.filePath(QStringLiteral("out.raw")).toStdString();
    ASSERT_TRUE(voicecheck::WriteFileBytes(in, {}));
    // Inherited: entries added on top of the inherited ones would stand
    // behind this process's own settings of the same names.
    DiskSound sound(in, out, 5);
    clienttest::ScopedEnv qpa("QT_QPA_PLATFORM", "offscreen");
    clienttest::ScopedEnv login("TESSIK_AUTOLOGIN", "127.0.0.1:" + std::to_string(server.Port()) + ":Term");
    platform::ChildProcess client;
    ASSERT_TRUE(client.Start(TESSIK_BINARY, {}));
    // Playback opens after capture and writes as soon as it is open.
    ASSERT_TRUE(RunUntil(
        [&] {
            std::error_code ignored;
            return std::filesystem::file_size(out, ignored) >= 4096 && ignored.value() == 0;
        },
        30000));
    client.Terminate();
    int code = -1;
    ASSERT_TRUE(client.Wait(10000, &code));
    EXPECT_EQ(code, 128 + 15);
}
