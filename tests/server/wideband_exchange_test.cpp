// Wideband voice through the real server over TCP: the request and its
// answer, malformed packets that change nothing, and what each kind of
// connection hears of a wideband speaker.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/base64.h"
#include "protocol/voice_codec.h"
#include "protocol/wideband_messages.h"
#include "server/server_fixture.h"
#include "server/wideband_voices.h"

namespace {

using servertest::MessageText;
using servertest::RawClient;
using namespace wideband_voices;

const std::string kRequest = "Voice Codec:opus\r\n\r\n";
const std::string kAnswer = "Voice Codec:opus\r\nRate:48000\r\nFrame:10\r\n\r\n";

std::string OpusLine(int sequence, std::span<const std::uint8_t> packet) {
    char head[32];
    std::snprintf(head, sizeof head, "Opus Data:%05d:", sequence);
    std::string line = head;
    protocol::AppendBase64(line, packet);
    return line + "\r\n\r\n";
}

// The packet of an "Opus Data" message, with its sequence number.
bool ParseOpus(const std::string& message, int* sequence, std::string* packet) {
    if (!message.ends_with("\r\n\r\n")) return false;
    protocol::OpusData data;
    if (!protocol::ParseOpusDataLine(std::string_view(message).substr(0, message.size() - 4), data)) return false;
    *sequence = data.sequence;
    *packet = data.packet;
    return true;
}

class WidebandExchangeTest : public servertest::ServerFixture {};

TEST_F(WidebandExchangeTest, TheRequestIsAnsweredToThatConnectionAloneAndOtherCodecsAreUnknownLines) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    ASSERT_TRUE(b->Send("Voice Codec:pcm\r\n\r\nVoice Codec:opus \r\n\r\nvoice codec:opus\r\n\r\n"));
    ASSERT_TRUE(a->Send(kRequest + "Message:after\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), kAnswer);
    ExpectAll({a.get(), b.get()}, MessageText("after", 1, "a"));
}

TEST_F(WidebandExchangeTest, MalformedOpusLinesAreDroppedWithNothingElseChanged) {
    auto a = Join("a", 1);
    auto legacy = Join("b", 2, {a.get()});
    auto wide = Join("c", 3, {a.get(), legacy.get()});
    ASSERT_TRUE(wide->Send(kRequest));
    EXPECT_EQ(wide->NextMessage(), kAnswer);
    ASSERT_TRUE(a->Send(kRequest + "Voice Start\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), kAnswer);

    ToneSpeaker tone(1000, 0.3);
    auto good = tone.Next();
    std::string packet(reinterpret_cast<const char*>(good.data()), good.size());
    std::string b64;
    protocol::AppendBase64(b64, good);
    const std::vector<std::string> malformed = {
        "Opus Data:00001:" + b64.substr(1) + "\r\n\r\n",                    // bad base64
        "Opus Data:0001:" + b64 + "\r\n\r\n",                               // four digits
        "Opus Data:0000a:" + b64 + "\r\n\r\n",                              // not a number
        "Opus Data:00001:" + b64 + "x\r\n\r\n",                             // trailing byte
        "Opus Data:00001:\r\n\r\n",                                         // no packet
        "Opus Data:00001:" + std::string(1200, 'A') + "\r\n\r\n",           // over-long line
        OpusLine(1, std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}),          // not a 10 ms packet
        OpusLine(1, std::vector<std::uint8_t>(700, 0x08)),                  // larger than any packet
    };
    for (const std::string& line : malformed) ASSERT_TRUE(a->Send(line));
    // A legacy connection that speaks cannot send Opus packets either.
    ASSERT_TRUE(legacy->Send("Voice Start\r\n\r\n" + OpusLine(1, good) + "Voice Stop\r\n\r\n"));
    ASSERT_TRUE(a->Send("Message:after\r\n\r\n"));
    ExpectAll({a.get(), legacy.get(), wide.get()}, MessageText("after", 1, "a"));

    // The speaker's numbering was left as it was: packet 1 is taken.
    ASSERT_TRUE(a->Send(OpusLine(1, good) + "Message:sent\r\n\r\n"));
    int sequence = -1;
    std::string got;
    ASSERT_TRUE(ParseOpus(wide->NextMessage(), &sequence, &got));
    EXPECT_EQ(sequence, 0);
    EXPECT_TRUE(ParseOpus(a->NextMessage(), &sequence, &got));
    EXPECT_EQ(sequence, 0);
    ExpectAll({a.get(), legacy.get(), wide.get()}, MessageText("sent", 1, "a"));
}

TEST_F(WidebandExchangeTest, AWidebandSpeakerIsHeardByBothKindsOfListenerAndNotByItself) {
    auto speaker = Join("a", 1);
    auto legacy = Join("b", 2, {speaker.get()});
    auto wide = Join("c", 3, {speaker.get(), legacy.get()});
    for (RawClient* c : {speaker.get(), wide.get()}) {
        ASSERT_TRUE(c->Send(kRequest));
        EXPECT_EQ(c->NextMessage(), kAnswer);
    }
    ASSERT_TRUE(speaker->Send("Voice Start\r\n\r\n"));
    ToneSpeaker tone(1000, 0.3);
    Listener own, heard;
    std::vector<float> legacyHeard;
    std::vector<int> sequences;
    for (int burst = 0; burst < 10; ++burst) {
        std::string lines;
        for (int i = 0; i < 10; ++i) {
            auto p = tone.Next();
            lines += OpusLine(tone.Sequence(), p);
        }
        ASSERT_TRUE(speaker->Send(lines + "Message:burst\r\n\r\n"));
        const std::string mark = MessageText("burst", 1, "a");
        for (RawClient* c : {speaker.get(), legacy.get(), wide.get()}) {
            for (std::string m = c->NextMessage(); m != mark; m = c->NextMessage()) {
                ASSERT_FALSE(m.empty());
                int sequence = -1;
                std::string packet;
                if (c == legacy.get()) {
                    // Today's frames, nothing else.
                    ASSERT_TRUE(m.starts_with("Voice Data:") && m.size() == 11 + 128 + 4) << m;
                    LegacyFrame f;
                    std::memcpy(f.data(), m.data() + 11, 128);
                    protocol::DecodeVoiceFrame(f.data());
                    for (std::uint8_t v : f) legacyHeard.push_back((v - 128) / 128.0f);
                    continue;
                }
                ASSERT_TRUE(ParseOpus(m, &sequence, &packet)) << m;
                auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
                if (c == wide.get()) {
                    sequences.push_back(sequence);
                    heard.Take(bytes);
                } else {
                    own.Take(bytes);
                }
            }
        }
    }
    // Each round reaches the wideband listener, numbered from 0.
    ASSERT_EQ(sequences.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(sequences[static_cast<std::size_t>(i)], i);
    EXPECT_NEAR(LevelDb(heard.Tail(), 1000, 0.3), 0.0, 2.0);
    EXPECT_EQ(own.heard.size(), heard.heard.size());
    EXPECT_LT(LevelDb(own.heard, 1000, 0.3), -40.0);
    // 100 packets of 10 ms make 62 frames of 16 ms, less what the resampler
    // holds back.
    EXPECT_GE(legacyHeard.size(), 60u * 128);
    EXPECT_LE(legacyHeard.size(), 62u * 128);
    auto tail = std::span<const float>(legacyHeard).last(4000);
    EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 1000, 8000) / 0.3), 0.0, 2.0);
}

// Nothing but the server's own clock can release a round that waits for a
// speaker who went silent: no event follows the last packet.
TEST_F(WidebandExchangeTest, ARoundWaitingForAStalledSpeakerGoesOutWithoutAnotherEvent) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    auto listener = Join("c", 3, {a.get(), b.get()});
    for (RawClient* c : {a.get(), b.get(), listener.get()}) {
        ASSERT_TRUE(c->Send(kRequest));
        EXPECT_EQ(c->NextMessage(), kAnswer);
    }
    ASSERT_TRUE(a->Send("Voice Start\r\n\r\n"));
    ASSERT_TRUE(b->Send("Voice Start\r\n\r\nMessage:ready\r\n\r\n"));
    ExpectAll({a.get(), b.get(), listener.get()}, MessageText("ready", 2, "b"));
    ToneSpeaker tone(1000, 0.3);
    auto p = tone.Next();
    ASSERT_TRUE(a->Send(OpusLine(tone.Sequence(), p)));
    int sequence = -1;
    std::string packet;
    ASSERT_TRUE(ParseOpus(listener->NextMessage(), &sequence, &packet));
    EXPECT_EQ(sequence, 0);
    ASSERT_TRUE(ParseOpus(b->NextMessage(), &sequence, &packet));
    EXPECT_EQ(sequence, 0);
}

}  // namespace
