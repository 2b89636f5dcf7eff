// Voice end to end: frames from speakers are mixed and sent to every
// connected client; who counts as a speaker and when a mixed frame leaves.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/voice_codec.h"
#include "server/server_core.h"
#include "server/session_outbox.h"
#include "server/server_fixture.h"

namespace {

using servertest::MemberLogoutText;
using servertest::MessageText;
using servertest::RawClient;
using servertest::VoiceDataText;

using Samples = std::array<std::uint8_t, 128>;

Samples Uniform(std::uint8_t v) {
    Samples s;
    s.fill(v);
    return s;
}

// Multiples of four differing along the frame, offset by start.
Samples Ramp(int start) {
    Samples s;
    for (int i = 0; i < 128; ++i) s[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(((start + i * 3) % 64) * 4);
    return s;
}

std::string Payload(const Samples& s) {
    std::string p;
    for (std::uint8_t v : s) p.push_back(protocol::EncodeSample(v));
    return p;
}

std::string VoiceFrom(const Samples& s) { return "Voice Data:" + Payload(s) + "\r\n\r\n"; }

// What everyone should receive for these frames mixed: the mean, rounded
// down, then encoded.
std::string Mixed(const std::vector<Samples>& frames) {
    Samples out;
    for (std::size_t i = 0; i < 128; ++i) {
        int sum = 0;
        for (const Samples& f : frames) sum += f[i];
        out[i] = static_cast<std::uint8_t>(sum / static_cast<int>(frames.size()));
    }
    return VoiceDataText(Payload(out));
}

class VoiceTest : public servertest::ServerFixture {
protected:
    // Starts speaking and waits until everyone got the speaker's next
    // message: from then on the speaker counts in every mix.
    void StartSpeaking(RawClient* speaker, int id, const char* name, std::initializer_list<RawClient*> everyone) {
        ASSERT_TRUE(speaker->Send("Voice Start\r\n\r\nMessage:speaking\r\n\r\n"));
        for (RawClient* c : everyone) EXPECT_EQ(c->NextMessage(), MessageText("speaking", id, name));
    }
};

TEST_F(VoiceTest, TwoSpeakersAreMixedOnlyOnceBothHaveSent) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    auto listener = ConnectGuest();  // hears the mix without logging in
    StartSpeaking(a.get(), 1, "a", {a.get(), b.get(), listener.get()});
    StartSpeaking(b.get(), 2, "b", {a.get(), b.get(), listener.get()});

    Samples fa = Uniform(0), fb = Uniform(0);
    fa[0] = 252, fb[0] = 0;
    fa[1] = 200, fb[1] = 128;
    fa[2] = 128, fb[2] = 128;
    fa[3] = 4, fb[3] = 0;
    // a's frame alone produces nothing: a's next message overtakes nothing.
    ASSERT_TRUE(a->Send(VoiceFrom(fa) + "Message:after a\r\n\r\n"));
    ExpectAll({a.get(), b.get(), listener.get()}, MessageText("after a", 1, "a"));
    ASSERT_TRUE(b->Send(VoiceFrom(fb) + "Message:after b\r\n\r\n"));
    std::string mixed = Mixed({fa, fb});
    // 252/0 -> 126, 200/128 -> 164, 128/128 -> 128, 4/0 -> 2, as characters.
    const std::string firstFour = {protocol::EncodeSample(126), protocol::EncodeSample(164),
                                   protocol::EncodeSample(128), protocol::EncodeSample(2)};
    EXPECT_EQ(mixed.substr(11, 4), firstFour);
    ExpectAll({a.get(), b.get(), listener.get()}, mixed);
    ExpectAll({a.get(), b.get(), listener.get()}, MessageText("after b", 2, "b"));
}

TEST_F(VoiceTest, ThreeSpeakersAreAveraged) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    auto c = Join("c", 3, {a.get(), b.get()});
    StartSpeaking(a.get(), 1, "a", {a.get(), b.get(), c.get()});
    StartSpeaking(b.get(), 2, "b", {a.get(), b.get(), c.get()});
    StartSpeaking(c.get(), 3, "c", {a.get(), b.get(), c.get()});
    // Each speaker's frames are in before the next one sends (its own
    // message after them comes back first), so the mix leaves right after
    // the last speaker's frames, ahead of its message.
    auto sendThenConfirm = [&](RawClient* speaker, const std::string& frames, int id, const char* name) {
        ASSERT_TRUE(speaker->Send(frames + "Message:sent\r\n\r\n"));
        ExpectAll({a.get(), b.get(), c.get()}, MessageText("sent", id, name));
    };
    // 4, 4 and 8 mix to 5, which travels as the character for 4.
    sendThenConfirm(a.get(), VoiceFrom(Uniform(4)), 1, "a");
    sendThenConfirm(b.get(), VoiceFrom(Uniform(4)), 2, "b");
    ASSERT_TRUE(c->Send(VoiceFrom(Uniform(8)) + "Message:one\r\n\r\n"));
    ExpectAll({a.get(), b.get(), c.get()}, VoiceDataText(Payload(Uniform(5))));
    ExpectAll({a.get(), b.get(), c.get()}, MessageText("one", 3, "c"));
    // Varied frames, two rounds queued by each speaker.
    sendThenConfirm(a.get(), VoiceFrom(Ramp(0)) + VoiceFrom(Ramp(10)), 1, "a");
    sendThenConfirm(b.get(), VoiceFrom(Ramp(20)) + VoiceFrom(Ramp(30)), 2, "b");
    ASSERT_TRUE(c->Send(VoiceFrom(Ramp(40)) + VoiceFrom(Ramp(50)) + "Message:two\r\n\r\n"));
    ExpectAll({a.get(), b.get(), c.get()}, Mixed({Ramp(0), Ramp(20), Ramp(40)}));
    ExpectAll({a.get(), b.get(), c.get()}, Mixed({Ramp(10), Ramp(30), Ramp(50)}));
    ExpectAll({a.get(), b.get(), c.get()}, MessageText("two", 3, "c"));
}

TEST_F(VoiceTest, VoiceFromSomeoneNotSpeakingIsDropped) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    ASSERT_TRUE(a->Send("Voice Start\r\n\r\n"));
    ASSERT_TRUE(b->Send(VoiceFrom(Uniform(252)) + "Message:b talked\r\n\r\n"));
    ExpectAll({a.get(), b.get()}, MessageText("b talked", 2, "b"));
    // a alone speaking: its frame goes out unchanged (and b's never counted).
    ASSERT_TRUE(a->Send(VoiceFrom(Ramp(5))));
    ExpectAll({a.get(), b.get()}, VoiceDataText(Payload(Ramp(5))));
    // After "Voice Stop" a's frames are dropped too; a second "Voice Start"
    // changes nothing.
    ASSERT_TRUE(a->Send("Voice Start\r\n\r\n" + VoiceFrom(Ramp(6)) + "Voice Stop\r\n\r\n" + VoiceFrom(Ramp(7)) +
                        "Message:stopped\r\n\r\n"));
    ExpectAll({a.get(), b.get()}, VoiceDataText(Payload(Ramp(6))));
    ExpectAll({a.get(), b.get()}, MessageText("stopped", 1, "a"));
}

TEST_F(VoiceTest, ASpeakerWhoLeavesReleasesTheMix) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    auto c = Join("c", 3, {a.get(), b.get()});
    StartSpeaking(a.get(), 1, "a", {a.get(), b.get(), c.get()});
    StartSpeaking(b.get(), 2, "b", {a.get(), b.get(), c.get()});
    ASSERT_TRUE(a->Send(VoiceFrom(Ramp(1)) + VoiceFrom(Ramp(2)) + VoiceFrom(Ramp(3)) + "Message:queued\r\n\r\n"));
    ExpectAll({a.get(), c.get()}, MessageText("queued", 1, "a"));
    // b, who holds everyone back, loses its connection: its logout is
    // announced, then a's three frames leave unchanged.
    b->Close();
    for (RawClient* r : {a.get(), c.get()}) {
        EXPECT_EQ(r->NextMessage(), MemberLogoutText(2, "b"));
        for (int k = 1; k <= 3; ++k) EXPECT_EQ(r->NextMessage(), VoiceDataText(Payload(Ramp(k)))) << k;
    }
}

TEST_F(VoiceTest, AShortPayloadIsDroppedAndALongOneCutTo128) {
    auto a = Join("a", 1);
    ASSERT_TRUE(a->Send("Voice Start\r\n\r\n"));
    std::string payload = Payload(Ramp(9));
    ASSERT_TRUE(a->Send("Voice Data:" + payload.substr(0, 127) + "\r\n\r\nVoice Data:\r\n\r\nMessage:short\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), MessageText("short", 1, "a"));
    ASSERT_TRUE(a->Send("Voice Data:" + payload + "EXTRA\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), VoiceDataText(payload));
}

TEST_F(VoiceTest, ASilentSpeakerHoldsTheMixBackOnlyFor128Ms) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    StartSpeaking(a.get(), 1, "a", {a.get(), b.get()});
    StartSpeaking(b.get(), 2, "b", {a.get(), b.get()});
    // b says it speaks but sends nothing. Eight frames of a wait ...
    std::string eight;
    for (int k = 0; k < 8; ++k) eight += VoiceFrom(Ramp(k));
    ASSERT_TRUE(a->Send(eight + "Message:eight\r\n\r\n"));
    ExpectAll({a.get(), b.get()}, MessageText("eight", 1, "a"));
    // ... the ninth releases the oldest, mixed with silence for b.
    ASSERT_TRUE(a->Send(VoiceFrom(Ramp(8)) + VoiceFrom(Ramp(9))));
    ExpectAll({a.get(), b.get()}, Mixed({Ramp(0), Uniform(128)}));
    ExpectAll({a.get(), b.get()}, Mixed({Ramp(1), Uniform(128)}));
    // When b's frame arrives it pairs with the oldest frame still waiting.
    ASSERT_TRUE(b->Send(VoiceFrom(Uniform(0)) + "Message:b\r\n\r\n"));
    ExpectAll({a.get(), b.get()}, Mixed({Ramp(2), Uniform(0)}));
    ExpectAll({a.get(), b.get()}, MessageText("b", 2, "b"));
}

// A payload that carries its frame's number in its first six characters
// (digits stand for samples that the mix with one speaker leaves as they
// are).
std::string Numbered(int n) {
    std::string p = std::to_string(1000000 + n).substr(1);
    p.resize(128, '0');
    return p;
}

TEST_F(VoiceTest, AClientThatStopsReadingGetsOnlyTheNewestVoiceAndAllTextInOrder) {
    auto speaker = Join("speaker", 1);
    // The listener fixes what its own system may hold for it, as a client
    // must for voice to give way (otherwise that buffer grows while it does
    // not read).
    auto listener = std::make_unique<RawClient>();
    ASSERT_TRUE(listener->Connect(server.Port(), 16 * 1024));
    ASSERT_EQ(listener->Login("listener"), 2);
    EXPECT_EQ(listener->NextMessage(), servertest::MemberLoginText(2, "listener"));
    EXPECT_EQ(speaker->NextMessage(), servertest::MemberLoginText(2, "listener"));
    ASSERT_TRUE(speaker->Send("Voice Start\r\n\r\n"));

    // The listener reads nothing while 2000 frames (32 s of sound) and a
    // text after every 100 of them go through; the speaker hears them all
    // come back, so the server has handled each chunk before the next.
    constexpr int kChunks = 20;
    constexpr int kPerChunk = 100;
    for (int c = 0; c < kChunks; ++c) {
        std::string chunk;
        for (int k = 0; k < kPerChunk; ++k) chunk += VoiceFrom(Samples{}).replace(11, 128, Numbered(c * kPerChunk + k));
        chunk += "Message:text " + std::to_string(c) + "\r\n\r\n";
        ASSERT_TRUE(speaker->Send(chunk));
        ASSERT_TRUE(speaker->SkipUntil(MessageText("text " + std::to_string(c), 1, "speaker"))) << c;
    }

    // Now it reads: old frames from the system's buffers, then the newest
    // ones; every text, whole and in order, where it belongs.
    std::vector<int> frames;
    int texts = 0;
    const std::string head = "Voice Data:";
    while (texts < kChunks) {
        std::string m = listener->NextMessage();
        ASSERT_FALSE(m.empty()) << "after " << frames.size() << " frames and " << texts << " texts";
        if (m.rfind(head, 0) == 0) {
            ASSERT_EQ(m.size(), head.size() + 128 + 4) << m;
            const int n = std::stoi(m.substr(head.size(), 6));
            ASSERT_TRUE(frames.empty() || n > frames.back()) << n << " after " << frames.back();
            // A frame after a text was sent after it.
            ASSERT_GE(n, texts * kPerChunk) << n;
            frames.push_back(n);
            continue;
        }
        ASSERT_EQ(m, MessageText("text " + std::to_string(texts), 1, "speaker"));
        // Every frame before a text was sent before it.
        ASSERT_TRUE(frames.empty() || frames.back() < (texts + 1) * kPerChunk);
        ++texts;
    }
    // What waited for it: the outbox's frames, those the writer had taken,
    // and what the two systems' buffers hold (each counts its bookkeeping
    // too, so fewer frames fit than the bytes say).
    const int frameBytes = static_cast<int>(head.size()) + 128 + 4;
#ifdef _WIN32
    // Windows has no limit on unsent bytes alone: the server bounds its send
    // buffer instead, and under Wine each figure reads back as it was set
    // while the Linux kernel beneath holds twice as much.
    const int systemBytes = 2 * (kUnsentBytes + listener->ReceiveBufferBytes());
#else
    const int systemBytes = kUnsentBytes + listener->ReceiveBufferBytes();
#endif
    const int bound = 2 * static_cast<int>(SessionOutbox::kMaxVoiceFrames) + systemBytes / frameBytes;
    ASSERT_GT(listener->ReceiveBufferBytes(), 0);
    EXPECT_LE(static_cast<int>(frames.size()), bound);
    // The newest frame is there; the newest 64 arrive without a gap.
    ASSERT_GE(frames.size(), SessionOutbox::kMaxVoiceFrames);
    EXPECT_EQ(frames.back(), kChunks * kPerChunk - 1);
    const std::size_t tail = frames.size() - SessionOutbox::kMaxVoiceFrames;
    EXPECT_EQ(frames.back() - frames[tail], static_cast<int>(SessionOutbox::kMaxVoiceFrames) - 1);
    std::printf("a listener that stopped reading for 2000 frames got %zu of them (bound %d)\n", frames.size(), bound);
}

}  // namespace
