// The voice path of a dialog against a fake server, with SDL's disk driver
// recording tagged frames from a file and playing into a file: what goes
// out while speaking and what does not, the stall while not speaking, what
// is played, what is dropped, and a client without any sound driver.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <optional>
#include <string>
#include <vector>

#include "client/chat_client_dlg.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"
#include "protocol/messages.h"
#include "protocol/voice_codec.h"
#include "voice_frames.h"

using namespace tessik;
using clienttest::DiskSound;
using clienttest::FakeServer;
using clienttest::Pump;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;
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
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nMessage History?\r\n\r\n"));
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
    EXPECT_EQ(server.Received().rfind("login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nMessage History?\r\n\r\nVoice Start\r\n\r\nVoice Data:", 0), 0u);
}

// Voice does not wait for the dialog's timer: a completed capture frame and
// a whole message each ask for a tick at once. With the timer stopped the
// voice path still runs both ways, and chat lines still arrive; the
// classic path, which waited for the timer, stops.
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

    r.dialog.SetClassicVoice(true);
    Pump(50);  // a tick asked for before the switch
    const int sent = r.dialog.SentVoiceFrames();
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.SoundDevice().CountCompleteCaptureBuffers() == 8; }));
    EXPECT_EQ(r.dialog.SentVoiceFrames(), sent);
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

// The behaviour kept for comparing with the old voice path: a press sends
// what capture held from before it.
TEST_F(VoicePath, InClassicModeTheNextPressSendsWhatFollowedTheStop) {
    StartSound(600, -1);  // SDL's own pace: 16 ms a frame
    r.dialog.SetClassicVoice(true);
    LogIn(r, server);
    Reply(server, r);
    const CWaveDevice& device = r.dialog.SoundDevice();

    // Long past the ring: nothing is taken, nothing sent.
    ASSERT_TRUE(WaitUntil([&] { return device.GetRecordedBytes() >= 40u * 128; }));
    EXPECT_EQ(device.CountCompleteCaptureBuffers(), 8);
    EXPECT_EQ(SentCount(server), 0);

    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    speak->click();
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= 16; }));
    std::vector<int> tags = SentTags(server.Received());
    // The first press sends the 128 ms recorded right after login, then
    // live sound: what was recorded in between is gone.
    EXPECT_EQ(std::vector<int>(tags.begin(), tags.begin() + 8), Range(0, 8));
    EXPECT_GE(tags[8], 40);
    EXPECT_TRUE(Increasing(tags)) << ::testing::PrintToString(tags);

    speak->click();
    ASSERT_TRUE(server.WaitForReceived("Voice Stop\r\n\r\n"));
    tags = SentTags(server.Received());
    const int lastSent = tags.back();
    const int sentBefore = static_cast<int>(tags.size());
    ASSERT_TRUE(WaitUntil([&] { return device.GetRecordedBytes() >= (lastSent + 40u) * 128; }));
    EXPECT_EQ(SentCount(server), sentBefore);

    // After the pause: the 128 ms right after the stop come first.
    speak->click();
    ASSERT_TRUE(WaitUntil([&] { return SentCount(server) >= sentBefore + 8; }));
    tags = SentTags(server.Received());
    EXPECT_EQ(std::vector<int>(tags.begin() + sentBefore, tags.begin() + sentBefore + 8), Range(lastSent + 1, 8));
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

TEST_F(VoicePath, InClassicModeAFrameThatFindsItsSlotStillPlayingIsDropped) {
    // A second per block: playback takes hardly anything while the frames
    // arrive.
    StartSound(0, 1000);
    r.dialog.SetClassicVoice(true);
    LogIn(r, server);
    // The empty opening block has been taken: slot 0 is free.
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.SoundDevice().IsPlaybackSlotFree(0); }));

    std::string wire;
    for (int k = 0; k < 60; ++k) wire += VoiceMessage(voicecheck::TaggedFrame(k));
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.ReceivedVoiceFrames() == 60; }));
    // Slots 1 to 39, then slot 0; from then on a frame goes in only where
    // playback has taken one out.
    EXPECT_GE(r.dialog.PlayedVoiceFrames(), 40);
    EXPECT_LE(r.dialog.PlayedVoiceFrames(), 43);
    EXPECT_TRUE(r.messages.empty());
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
