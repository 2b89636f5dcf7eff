// The voice path of a dialog against a fake server, with SDL's disk driver
// recording tagged frames from a file and playing into a file: what goes
// out while speaking and what does not, the stall while not speaking, what
// is played, what is dropped, and a client without any sound driver.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/chat_client_dlg.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"
#include "client/strings.h"
#include "client/wideband_voice.h"
#include "protocol/messages.h"
#include "protocol/opus_codec.h"
#include "protocol/voice_codec.h"
#include "protocol/wideband_messages.h"
#include "voice_frames.h"

using namespace tessik;
using clienttest::DiskSound;
using clienttest::FakeServer;
using clienttest::Pump;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;
using voicecheck::Bytes;
using voicecheck::Frame;

namespace {

QPushButton* Button(const CChatClientDlg& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }

// A folder of its own for the sound files of one test.
struct SoundFiles {
    QTemporaryDir dir;
    std::string Path(const char* name) const { return dir.filePath(QString::fromUtf8(name)).toStdString(); }
    std::string In() const { return Path("in.raw"); }
    std::string Out() const { return Path("out.raw"); }
};

void LogIn(RecordingDialog& r, FakeServer& server) {
    r.LoginTo(server.Port());
    ASSERT_TRUE(r.dialog.IsLoggedIn());
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n"));
}

void Reply(FakeServer& server, RecordingDialog& r, int id = 1) {
    std::string reply;
    protocol::AppendLoginSucceeded(reply, id, 17);
    server.Send(reply);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.OwnId() == id; }));
}

std::string VoiceMessage(const Frame& samples) {
    Frame payload = samples;
    protocol::EncodeVoiceFrame(payload.data(), voicecheck::kFrameBytes);
    std::string out;
    protocol::AppendVoiceData(out, std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    return out;
}

// The tags of the frames in the voice messages the client sent, in order;
// -1 for a message that is not exactly a tagged frame's 143 bytes.
std::vector<int> SentTags(const std::string& wire) {
    std::vector<int> tags;
    const std::string keyword(protocol::kVoiceData);
    for (size_t at = wire.find(keyword); at != std::string::npos; at = wire.find(keyword, at + 1)) {
        if (wire.size() - at < 143 || wire.compare(at + 139, 4, "\r\n\r\n") != 0) {
            tags.push_back(-1);
            continue;
        }
        Frame frame;
        std::copy_n(wire.begin() + static_cast<std::ptrdiff_t>(at + keyword.size()), frame.size(), frame.begin());
        protocol::DecodeVoiceFrame(frame.data(), voicecheck::kFrameBytes);
        const int tag = voicecheck::TagOf(frame);
        tags.push_back(VoiceMessage(frame) == wire.substr(at, 143) ? tag : -1);
    }
    return tags;
}

int SentCount(const FakeServer& server) { return static_cast<int>(SentTags(server.Received()).size()); }

std::vector<int> Range(int first, int count) {
    std::vector<int> out;
    for (int k = first; k < first + count; ++k) out.push_back(k);
    return out;
}

bool Increasing(const std::vector<int>& tags) {
    for (size_t i = 1; i < tags.size(); ++i) {
        if (tags[i] <= tags[i - 1]) return false;
    }
    return true;
}

// The frames in a playback file that are not silence, as tags, less the
// sound the dialog's play-out buffer made up.
std::vector<int> PlayedTags(const std::string& path, const CChatClientDlg& dialog) {
    return voicecheck::WithoutMadeUp(voicecheck::PlayedTags(voicecheck::ReadFileBytes(path)),
                                     dialog.Playout().GetStats().stretched);
}

// A dialog and a fake server for each test; StartSound puts SDL's disk
// driver in place first.
class VoicePath : public ::testing::Test {
protected:
    // Capture records `frames` tagged frames (none: silence from the start),
    // playback writes its file; each block takes delayMs (-1: SDL's own
    // pace, 16 ms a frame).
    void StartSound(int frames, int delayMs) {
        ASSERT_TRUE(voicecheck::WriteFileBytes(files.In(), voicecheck::TaggedFrames(0, frames)));
        sound.emplace(files.In(), files.Out(), delayMs);
    }

    SoundFiles files;
    std::optional<DiskSound> sound;
    FakeServer server;
    RecordingDialog r;
};

}  // namespace

TEST_F(VoicePath, PressedBeforeTheReplyVoiceFollowsTheReplyStartingAtThePress) {
    StartSound(1000, 4);
    LogIn(r, server);
    ASSERT_TRUE(r.dialog.SoundDevice().IsCaptureOpen());
    ASSERT_TRUE(r.dialog.SoundDevice().IsPlaybackOpen());
    EXPECT_EQ(r.dialog.SoundDevice().GetCaptureCount(), 8);
    EXPECT_EQ(r.dialog.SoundDevice().GetPlaybackSlotCount(), 40);

    const int recordedAtPress = static_cast<int>(r.dialog.SoundDevice().GetRecordedBytes() / 128);
    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(server.WaitForReceived("Voice Start\r\n\r\n"));
    // No ID yet: the ring fills and nothing goes out.
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.SoundDevice().CountCompleteCaptureBuffers() == 8; }));
    Pump(50);
    EXPECT_EQ(SentCount(server), 0);

    Reply(server, r);
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= 40; }));
    const std::vector<int> tags = SentTags(server.Received());
    // First the frames recorded just after the press, then live ones, each
    // as one 143-byte message, oldest first.
    EXPECT_GE(tags[0], recordedAtPress);
    EXPECT_EQ(std::vector<int>(tags.begin(), tags.begin() + 8), Range(tags[0], 8));
    EXPECT_TRUE(Increasing(tags)) << ::testing::PrintToString(tags);
    EXPECT_EQ(r.dialog.SentVoiceFrames(), static_cast<int>(tags.size()));
    EXPECT_EQ(server.Received().rfind("login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\nVoice Start\r\n\r\nVoice Data:", 0), 0u);
    // Never answered: the classic voice throughout.
    EXPECT_FALSE(r.dialog.Voice().IsWideband());
    EXPECT_EQ(r.dialog.SoundDevice().Format(), voice::kNarrowbandSound);
    EXPECT_EQ(server.Received().find(protocol::kOpusData), std::string::npos);
}

// Voice does not wait for the dialog's timer: a completed capture frame and
// a whole message each ask for a tick at once. With the timer stopped the
// voice path still runs both ways, and chat lines still arrive.
TEST_F(VoicePath, CaptureAndArrivingMessagesDriveTheDialogWithoutItsTimer) {
    StartSound(1000, 4);
    LogIn(r, server);
    Reply(server, r);
    int stopped = 0;
    for (QTimer* timer : r.dialog.findChildren<QTimer*>()) {
        if (timer->interval() == CChatClientDlg::kTimerPeriodMs) {
            timer->stop();
            ++stopped;
        }
    }
    ASSERT_EQ(stopped, 1);

    std::string chat;
    protocol::AppendTextMessage(chat, "no timer needed", 2, "Hanako");
    server.Send(chat);
    auto* log = qobject_cast<QPlainTextEdit*>(r.dialog.Control(IDC_LOG));
    ASSERT_TRUE(WaitUntil([&] { return log->toPlainText().contains(QStringLiteral("no timer needed")); }));

    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= 20; }));
    EXPECT_TRUE(Increasing(SentTags(server.Received())));

    // Enough frames to start playing at once; the rest are fed as capture
    // keeps waking the dialog.
    std::string voice;
    for (int k = 0; k < 5; ++k) voice += VoiceMessage(voicecheck::TaggedFrame(k));
    server.Send(voice);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.PlayedVoiceFrames() == 5; }));
    ASSERT_TRUE(WaitUntil([&] { return PlayedTags(files.Out(), r.dialog).size() == 5u; }));
    EXPECT_EQ(PlayedTags(files.Out(), r.dialog), Range(0, 5));
}

TEST_F(VoicePath, NotSpeakingCaptureStallsAndEachPressSendsOnlyWhatWasRecordedAfterIt) {
    StartSound(600, -1);  // SDL's own pace: 16 ms a frame
    LogIn(r, server);
    Reply(server, r);
    const CWaveDevice& device = r.dialog.SoundDevice();

    // Long past the ring: nothing is taken, nothing sent.
    ASSERT_TRUE(WaitUntil([&] { return device.GetRecordedBytes() >= 40u * 128; }));
    EXPECT_EQ(device.CountCompleteCaptureBuffers(), 8);
    EXPECT_EQ(SentCount(server), 0);

    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    int recordedAtPress = static_cast<int>(device.GetRecordedBytes() / 128);
    speak->click();
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= 16; }));
    std::vector<int> tags = SentTags(server.Received());
    // The held ring is gone: the first frame sent was recorded after the
    // press, and live sound follows it without a hole.
    EXPECT_GE(tags[0], recordedAtPress);
    EXPECT_EQ(std::vector<int>(tags.begin(), tags.begin() + 16), Range(tags[0], 16));
    EXPECT_EQ(server.Received().find("Voice Start\r\n\r\nVoice Data:") != std::string::npos, true);

    speak->click();
    ASSERT_TRUE(server.WaitForReceived("Voice Stop\r\n\r\n"));
    tags = SentTags(server.Received());
    const int lastSent = tags.back();
    const int sentBefore = static_cast<int>(tags.size());
    ASSERT_TRUE(WaitUntil([&] { return device.GetRecordedBytes() >= (lastSent + 40u) * 128; }));
    EXPECT_EQ(SentCount(server), sentBefore);

    // After the pause: nothing of the 128 ms after the stop, nor of anything
    // else from before the second press.
    recordedAtPress = static_cast<int>(device.GetRecordedBytes() / 128);
    speak->click();
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= sentBefore + 8; }));
    tags = SentTags(server.Received());
    EXPECT_GE(tags[static_cast<std::size_t>(sentBefore)], recordedAtPress);
    EXPECT_EQ(std::vector<int>(tags.begin() + sentBefore, tags.begin() + sentBefore + 8),
              Range(tags[static_cast<std::size_t>(sentBefore)], 8));
    EXPECT_TRUE(Increasing(tags)) << ::testing::PrintToString(tags);
    EXPECT_TRUE(r.messages.empty());
}

TEST_F(VoicePath, ReceivedVoiceIsPlayedWhetherSpeakingOrNotAndTheSessionsEndClosesTheDevices) {
    // Playback faster than frames arrive: nothing is dropped.
    StartSound(0, 2);
    LogIn(r, server);
    Reply(server, r);

    // One frame at a time, each once the last one is played: no burst for
    // the play-out buffer to cut.
    for (int k = 0; k < 20; ++k) {
        if (k == 10) Button(r.dialog, IDC_SPEAK)->click();
        server.Send(VoiceMessage(voicecheck::TaggedFrame(k)));
        ASSERT_TRUE(WaitUntil([&] { return r.dialog.PlayedVoiceFrames() == k + 1; })) << k;
    }
    // While speaking, the recording (silence once the file is read) goes out.
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.SentVoiceFrames() > 0; }));
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 20);

    // Let playback take the last frame before the session ends.
    ASSERT_TRUE(WaitUntil([&] {
        const CWaveDevice& d = r.dialog.SoundDevice();
        for (int slot = 0; slot < d.GetPlaybackSlotCount(); ++slot) {
            if (!d.IsPlaybackSlotFree(slot)) return false;
        }
        return true;
    }));
    Pump(50);
    server.Send("disconnected\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    EXPECT_FALSE(r.dialog.SoundDevice().IsCaptureOpen());
    EXPECT_FALSE(r.dialog.SoundDevice().IsPlaybackOpen());
    EXPECT_EQ(PlayedTags(files.Out(), r.dialog), Range(0, 20));

    // The next session opens them again.
    LogIn(r, server);
    EXPECT_TRUE(r.dialog.SoundDevice().IsCaptureOpen());
    EXPECT_TRUE(r.dialog.SoundDevice().IsPlaybackOpen());
}

TEST_F(VoicePath, ABurstWaitsInThePlayoutBufferAndItsOldestFramesGoInsteadOfQueueingAtTheDevice) {
    StartSound(0, 1000);
    LogIn(r, server);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.SoundDevice().IsPlaybackSlotFree(0); }));

    std::string wire;
    for (int k = 0; k < 60; ++k) wire += VoiceMessage(voicecheck::TaggedFrame(k));
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.ReceivedVoiceFrames() == 60; }));
    Pump(100);
    // The device holds only its lead; the burst beyond the bound is gone,
    // oldest first, and nothing waits that the bound does not allow.
    const CPlayoutBuffer& playout = r.dialog.Playout();
    EXPECT_LE(r.dialog.SoundDevice().CountQueuedPlaybackBlocks(), CPlayoutBuffer::kDeviceLead);
    EXPECT_GE(playout.GetStats().trimmed, 40);
    EXPECT_EQ(playout.GetStats().trimmed + playout.Waiting() + r.dialog.PlayedVoiceFrames(), 60);
    EXPECT_TRUE(r.messages.empty());

    // What still waits when the session ends is of that session: the next
    // one plays none of it.
    ASSERT_GT(playout.Waiting(), 0);
    const int played = r.dialog.PlayedVoiceFrames();
    server.Send("disconnected\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    EXPECT_EQ(playout.Waiting(), 0);
    LogIn(r, server);
    Pump(100);
    EXPECT_EQ(r.dialog.PlayedVoiceFrames(), played);
}

TEST_F(VoicePath, WithoutASoundDriverTheClientStillChatsAfterOneOpenError) {
    clienttest::ScopedEnv driver("SDL_AUDIODRIVER", "no-such-driver");
    clienttest::SharedMessages shared;
    LogIn(r, server);
    EXPECT_EQ(shared.Texts(), std::vector<std::string>{"Open error"});
    EXPECT_FALSE(r.dialog.SoundDevice().IsCaptureOpen());
    EXPECT_FALSE(r.dialog.SoundDevice().IsPlaybackOpen());
    Reply(server, r);

    Button(r.dialog, IDC_SPEAK)->click();
    std::string wire = VoiceMessage(voicecheck::TaggedFrame(1));
    protocol::AppendTextMessage(wire, "still here", 2, "Jiro");
    server.Send(wire);
    auto* log = qobject_cast<QPlainTextEdit*>(r.dialog.Control(IDC_LOG));
    ASSERT_TRUE(WaitUntil([&] { return log->toPlainText().contains(QStringLiteral("Jiro> still here")); }));
    Pump(50);
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 1);
    EXPECT_EQ(r.dialog.PlayedVoiceFrames(), 0);
    EXPECT_EQ(SentCount(server), 0);

    Button(r.dialog, IDC_LOGOUT)->click();
    ASSERT_TRUE(server.WaitForReceived("logout\r\n\r\n"));
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    EXPECT_EQ(shared.Texts().size(), 1u);
    EXPECT_TRUE(r.messages.empty());
}

// ---- Wideband voice, once the server answers the request ----

namespace {

constexpr std::string_view kAnswer = "Voice Codec:opus\r\nRate:48000\r\nFrame:10\r\n\r\n";
constexpr int kWideSamples = protocol::kWidebandFrameSamples;

// A tone as 48 kHz signed 16-bit little-endian bytes.
Bytes ToneBytes(double hz, double seconds, double amplitude) {
    const int n = static_cast<int>(seconds * 48000);
    Bytes out;
    for (int i = 0; i < n; ++i) {
        const auto v = static_cast<std::int16_t>(std::lrint(amplitude * 32767 * std::sin(2 * M_PI * hz * i / 48000.0)));
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) & 0xFF));
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
    }
    return out;
}

std::vector<float> Samples16(const Bytes& bytes) {
    std::vector<float> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<float>(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8))) / 32768.0f);
    }
    return out;
}

double Rms(const std::vector<float>& x, size_t from, size_t count) {
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += double(x[i]) * x[i];
    return std::sqrt(sum / double(count));
}

// Upward zero crossings per second: the pitch of a tone.
double CrossingsPerSecond(const std::vector<float>& x, size_t from, size_t count) {
    int crossings = 0;
    for (size_t i = from + 1; i < from + count; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) ++crossings;
    }
    return crossings * 48000.0 / double(count);
}

// The sound without the runs of exact silence a card plays while it has
// nothing (a tone has no such runs).
std::vector<float> WithoutSilence(const std::vector<float>& x) {
    std::vector<float> out;
    size_t i = 0;
    while (i < x.size()) {
        size_t j = i;
        while (j < x.size() && x[j] == 0.0f) ++j;
        if (j - i < 8) out.insert(out.end(), x.begin() + static_cast<std::ptrdiff_t>(i), x.begin() + static_cast<std::ptrdiff_t>(j));
        if (j < x.size()) out.push_back(x[j]);
        i = j + 1;
    }
    return out;
}

// The packets of a tone, 10 ms each, from one encoder.
std::vector<std::vector<std::uint8_t>> TonePackets(double hz, int count) {
    protocol::COpusEncoder encoder;
    const std::vector<float> pcm = Samples16(ToneBytes(hz, count * 0.01, 0.4));
    std::vector<std::vector<std::uint8_t>> packets;
    for (int k = 0; k < count; ++k) {
        std::vector<std::uint8_t> packet(protocol::kOpusMaxEncodedBytes);
        const int n = encoder.Encode(pcm.data() + k * kWideSamples, packet.data());
        packet.resize(static_cast<size_t>(n));
        packets.push_back(packet);
    }
    return packets;
}

std::string OpusMessage(int sequence, const std::vector<std::uint8_t>& packet) {
    std::string out;
    protocol::AppendOpusData(out, sequence, packet);
    return out;
}

// The "Opus Data:" messages the client sent, in order; a message that is
// not a whole valid one shows as sequence -1.
std::vector<protocol::OpusData> SentPackets(const std::string& wire) {
    std::vector<protocol::OpusData> out;
    const std::string keyword(protocol::kOpusData);
    for (size_t at = wire.find(keyword); at != std::string::npos; at = wire.find(keyword, at + 1)) {
        const size_t end = wire.find("\r\n\r\n", at);
        protocol::OpusData data;
        if (end == std::string::npos || !protocol::ParseOpusDataLine(std::string_view(wire).substr(at, end - at), data)) {
            data.sequence = -1;
        }
        out.push_back(data);
    }
    return out;
}

QAction* MenuEntry(const CChatClientDlg& dialog, std::string_view caption) {
    for (QMenu* menu : dialog.findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            if (action->text() == QString::fromUtf8(caption.data(), static_cast<int>(caption.size()))) return action;
        }
    }
    return nullptr;
}

}  // namespace

TEST_F(VoicePath, AnsweredTheCardRecordsAt48kHzAndTheVoiceGoesAsOpusPacketsNumberedFromZero) {
    ASSERT_TRUE(voicecheck::WriteFileBytes(files.In(), ToneBytes(440, 4, 0.4)));
    sound.emplace(files.In(), files.Out(), 4);
    LogIn(r, server);
    Reply(server, r);
    EXPECT_FALSE(r.dialog.Voice().IsWideband());
    server.Send(kAnswer);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.Voice().IsWideband(); }));
    const CWaveDevice& device = r.dialog.SoundDevice();
    EXPECT_EQ(device.Format(), voice::kWidebandSound);
    ASSERT_TRUE(device.IsCaptureOpen());
    ASSERT_TRUE(device.IsPlaybackOpen());
    EXPECT_EQ(device.GetCaptureSize(), 960);
    EXPECT_EQ(device.GetCaptureCount(), 12);  // 128 ms of ring

    // The tone must reach the encoder as it was recorded.
    MenuEntry(r.dialog, kNoiseSuppressionMenuText)->trigger();
    MenuEntry(r.dialog, kAutomaticGainMenuText)->trigger();
    const size_t before = server.Received().size();
    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(WaitUntil([&] { return SentPackets(server.Received()).size() >= 60; }));
    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(server.WaitForReceived("Voice Stop\r\n\r\n"));

    const std::string wire = server.Received().substr(before);
    EXPECT_EQ(wire.rfind("Voice Start\r\n\r\nOpus Data:00000:", 0), 0u);
    EXPECT_EQ(wire.find(protocol::kVoiceData), std::string::npos);
    const std::vector<protocol::OpusData> sent = SentPackets(wire);
    // One message per packet, nothing between them, numbered 0, 1, 2 ...
    size_t at = std::string("Voice Start\r\n\r\n").size();
    protocol::COpusDecoder decoder;
    std::vector<float> decoded;
    for (size_t k = 0; k < sent.size(); ++k) {
        ASSERT_EQ(sent[k].sequence, static_cast<int>(k));
        const std::string message = OpusMessage(
            static_cast<int>(k), std::vector<std::uint8_t>(sent[k].packet.begin(), sent[k].packet.end()));
        ASSERT_EQ(wire.compare(at, message.size(), message), 0) << k;
        at += message.size();
        std::vector<float> pcm(kWideSamples);
        const auto* p = reinterpret_cast<const std::uint8_t*>(sent[k].packet.data());
        ASSERT_TRUE(decoder.Decode(std::span<const std::uint8_t>(p, sent[k].packet.size()), pcm.data())) << k;
        decoded.insert(decoded.end(), pcm.begin(), pcm.end());
    }
    EXPECT_EQ(wire.substr(at), "Voice Stop\r\n\r\n");
    EXPECT_EQ(r.dialog.SentVoiceFrames(), static_cast<int>(sent.size()));
    // Through the real codec the tone keeps its pitch and its level.
    const size_t from = 20 * kWideSamples, count = 30 * kWideSamples;
    EXPECT_NEAR(CrossingsPerSecond(decoded, from, count), 440, 10);
    EXPECT_NEAR(Rms(decoded, from, count), 0.4 / std::sqrt(2.0), 0.05);
}

TEST_F(VoicePath, ReceivedOpusPacketsArePlayedAt48kHzAndGapsAreConcealedLateOnesDropped) {
    ASSERT_TRUE(voicecheck::WriteFileBytes(files.In(), Bytes(48000 * 2 * 4, 0)));
    sound.emplace(files.In(), files.Out(), 4);
    LogIn(r, server);
    Reply(server, r);
    // Before the answer a packet has nowhere to go.
    const auto packets = TonePackets(440, 60);
    server.Send(OpusMessage(0, packets[0]));
    server.Send(kAnswer);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.Voice().IsWideband(); }));
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 0);

    // In small batches, each played before the next comes.
    int sentCount = 0;
    for (int k = 0; k < 40; k += 5) {
        std::string batch;
        for (int j = k; j < k + 5; ++j) batch += OpusMessage(j, packets[static_cast<size_t>(j)]);
        server.Send(batch);
        sentCount += 5;
        ASSERT_TRUE(WaitUntil([&] { return r.dialog.PlayedVoiceFrames() == sentCount; })) << k;
    }
    // A repeated and a late packet are dropped; three missing ones are made
    // up by the codec before the next.
    server.Send(OpusMessage(39, packets[39]) + OpusMessage(37, packets[37]) + OpusMessage(43, packets[43]) +
                OpusMessage(44, packets[44]));
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.PlayedVoiceFrames() == 42; }));
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 42);
    EXPECT_EQ(r.dialog.Voice().Wideband().Playout().GetStats().concealed, 3);
    // A line that is not a packet changes nothing.
    server.Send("Opus Data:00045:not base64!\r\n\r\nOpus Data:45:AAAA\r\n\r\n");
    Pump(100);
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 42);

    // The card played the tone, as 16-bit samples at 48 kHz.
    ASSERT_TRUE(WaitUntil([&] { return voicecheck::ReadFileBytes(files.Out()).size() >= 45u * 960; }));
    // The disk card runs faster than the packets come: its silence between
    // the blocks is taken out, which joins the decoded stream up again.
    const std::vector<float> played = WithoutSilence(Samples16(voicecheck::ReadFileBytes(files.Out())));
    ASSERT_GE(played.size(), 40u * kWideSamples);
    const size_t from = 2 * kWideSamples, count = 30 * kWideSamples;
    EXPECT_NEAR(CrossingsPerSecond(played, from, count), 440, 10);
    EXPECT_NEAR(Rms(played, from, count), 0.4 / std::sqrt(2.0), 0.05);
}

TEST_F(VoicePath, AnAnswerOfAnotherFormatIsNotTakenAndTheClassicVoiceGoesOn) {
    StartSound(1000, 4);
    LogIn(r, server);
    Reply(server, r);
    server.Send("Voice Codec:opus\r\nRate:16000\r\nFrame:10\r\n\r\n");
    std::string chat;
    protocol::AppendTextMessage(chat, "after", 2, "Hanako");
    server.Send(chat);
    auto* log = qobject_cast<QPlainTextEdit*>(r.dialog.Control(IDC_LOG));
    ASSERT_TRUE(WaitUntil([&] { return log->toPlainText().contains(QStringLiteral("after")); }));
    EXPECT_FALSE(r.dialog.Voice().IsWideband());
    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= 10; }));
    EXPECT_TRUE(Increasing(SentTags(server.Received())));
    EXPECT_EQ(server.Received().find(protocol::kOpusData), std::string::npos);
}

TEST(ContextMenu, NoiseSuppressionAndAutomaticGainAreOnUntilUnchecked) {
    CChatClientDlg dialog;
    QAction* denoise = MenuEntry(dialog, kNoiseSuppressionMenuText);
    QAction* gain = MenuEntry(dialog, kAutomaticGainMenuText);
    ASSERT_NE(denoise, nullptr);
    ASSERT_NE(gain, nullptr);
    EXPECT_TRUE(denoise->isCheckable() && denoise->isChecked());
    EXPECT_TRUE(gain->isCheckable() && gain->isChecked());
    EXPECT_TRUE(dialog.Voice().NoiseSuppression());
    EXPECT_TRUE(dialog.Voice().AutomaticGain());
    denoise->trigger();
    EXPECT_FALSE(dialog.Voice().NoiseSuppression());
    EXPECT_TRUE(dialog.Voice().AutomaticGain());
    gain->trigger();
    EXPECT_FALSE(dialog.Voice().AutomaticGain());
    denoise->trigger();
    EXPECT_TRUE(dialog.Voice().NoiseSuppression());
}

// The numbers wrap from 99999 to 00000: no gap there, and a packet from
// before the wrap is late after it.
TEST(WidebandVoice, SequenceNumbersWrapWithoutAGapAndAPacketFromBeforeTheWrapIsLate) {
    CWidebandVoice voice;
    const auto packets = TonePackets(440, 6);
    const auto now = CWidebandVoice::Clock::now();
    std::string m;
    const auto receive = [&](int sequence, size_t k) {
        m = OpusMessage(sequence, packets[k]);
        std::string_view v(m);
        v.remove_prefix(protocol::kOpusData.size());
        v.remove_suffix(4);
        return voice.Receive(v, now);
    };
    EXPECT_TRUE(receive(99998, 0));
    EXPECT_TRUE(receive(99999, 1));
    EXPECT_TRUE(receive(0, 2));
    EXPECT_EQ(voice.Playout().GetStats().concealed, 0);
    EXPECT_FALSE(receive(99999, 3));
    EXPECT_TRUE(receive(2, 4));
    EXPECT_EQ(voice.Playout().GetStats().concealed, 1);
    EXPECT_EQ(voice.Playout().GetStats().added, 4);
    // A packet refused by the decoder (20 ms long) is dropped and leaves the
    // numbering as it was.
    std::vector<std::uint8_t> packet = packets[5];
    packet[0] = static_cast<std::uint8_t>((packet[0] & ~0xF8) | (0x1F << 3));  // a 20 ms configuration
    m = OpusMessage(3, packet);
    std::string_view v(m);
    v.remove_prefix(protocol::kOpusData.size());
    v.remove_suffix(4);
    EXPECT_FALSE(voice.Receive(v, now));
    EXPECT_TRUE(receive(3, 5));
    EXPECT_EQ(voice.Playout().GetStats().concealed, 1);
}
