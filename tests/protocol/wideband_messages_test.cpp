#include "protocol/wideband_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/messages.h"
#include "protocol/voice_sequence.h"

using namespace protocol;

namespace {

std::string Encoded(std::string_view bytes) {
    std::string out;
    AppendBase64(out, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return out;
}

std::string Decoded(std::string_view text, bool* ok) {
    std::string out;
    *ok = DecodeBase64(text, out);
    return out;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

}  // namespace

// The test vectors of RFC 4648, section 10, both ways.
TEST(Base64, StandardTestVectors) {
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, text] : vectors) {
        EXPECT_EQ(Encoded(plain), text);
        bool ok = false;
        EXPECT_EQ(Decoded(text, &ok), plain);
        EXPECT_TRUE(ok) << text;
    }
}

TEST(Base64, EveryByteValueRoundTripsAndUsesTheStandardAlphabet) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::string text = Encoded(all);
    EXPECT_EQ(text.size(), Base64Length(256));
    // The two characters that differ between the standard and the URL form.
    EXPECT_NE(text.find('+'), std::string::npos);
    EXPECT_NE(text.find('/'), std::string::npos);
    EXPECT_EQ(text.find('-'), std::string::npos);
    bool ok = false;
    EXPECT_EQ(Decoded(text, &ok), all);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Encoded("\xfb\xff"), "+/8=");
}

TEST(Base64, RefusesEverythingButTheOneSpelling) {
    for (std::string_view bad : {
             "Zg",        // no padding
             "Zg=",       // too little padding
             "Zm9vY",     // length not a multiple of four
             "Zg==Zg==",  // padding inside
             "Z===",      // three padding characters
             "====",
             "Zh==",      // bits under the padding not zero
             "Zm9=",
             "Zm9v-_==",  // URL alphabet
             "Zm 9",      // blank
             "Zm9v\r\n",
             "Zm\x80v",
         }) {
        bool ok = true;
        Decoded(bad, &ok);
        EXPECT_FALSE(ok) << bad;
    }
}

TEST(WidebandMessages, RequestAndAnswerAreByteExact) {
    EXPECT_EQ(BuildVoiceCodecRequest(), "Voice Codec:opus\r\n\r\n");
    std::string answer;
    AppendVoiceCodecAnswer(answer);
    EXPECT_EQ(answer, "Voice Codec:opus\r\nRate:48000\r\nFrame:10\r\n\r\n");
    EXPECT_EQ(kWidebandFrameSamples, 480);
}

TEST(WidebandMessages, OpusDataLineIsByteExactWithFiveDigitsThatWrap) {
    std::string out;
    auto packet = Bytes({'f', 'o', 'o', 'b'});
    AppendOpusData(out, 7, packet);
    EXPECT_EQ(out, "Opus Data:00007:Zm9vYg==\r\n\r\n");
    EXPECT_EQ(out.size(), static_cast<std::size_t>(OpusDataMessageBytes(4)));
    out.clear();
    AppendOpusData(out, 99999, packet);
    AppendOpusData(out, NextSequence(99999), packet);
    AppendOpusDataEncoded(out, 100001, "Zm9vYg==");
    EXPECT_EQ(out,
              "Opus Data:99999:Zm9vYg==\r\n\r\n"
              "Opus Data:00000:Zm9vYg==\r\n\r\n"
              "Opus Data:00001:Zm9vYg==\r\n\r\n");
}

TEST(WidebandMessages, ParsesWhatItBuilds) {
    std::vector<std::uint8_t> packet(kMaxOpusPacketBytes);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i * 7);
    std::string out;
    AppendOpusData(out, 4321, packet);
    EXPECT_LE(out.size() - 4, static_cast<std::size_t>(kMaxOpusDataLineLength));
    OpusData data;
    ASSERT_TRUE(ParseOpusDataLine(std::string_view(out).substr(0, out.size() - 4), data));
    EXPECT_EQ(data.sequence, 4321);
    EXPECT_EQ(data.packet, std::string(packet.begin(), packet.end()));
    ASSERT_TRUE(ParseOpusDataValue("00000:AA==", data));
    EXPECT_EQ(data.sequence, 0);
    EXPECT_EQ(data.packet, std::string(1, '\0'));
}

TEST(WidebandMessages, RefusesMalformedLines) {
    const std::string oneTooMany = Encoded(std::string(kMaxOpusPacketBytes + 1, 'x'));
    const std::string longest = Encoded(std::string(kMaxOpusPacketBytes, 'x'));
    for (std::string bad : {
             std::string("Opus Data:"),
             std::string("Opus Data:00001"),
             std::string("Opus Data:00001:"),          // empty packet
             std::string("Opus Data:0001:Zm9v"),       // four digits
             std::string("Opus Data:000001:Zm9v"),     // six digits
             std::string("Opus Data: 0001:Zm9v"),      // blank for a digit
             std::string("Opus Data:-0001:Zm9v"),
             std::string("Opus Data:0000a:Zm9v"),
             std::string("Opus Data:00001Zm9v"),       // no colon
             std::string("Opus Data:00001:Zm9"),       // base64 cut
             std::string("Opus Data:00001:Zm9v "),     // trailing blank
             std::string("Opus Data:00001:Zm-v"),      // wrong alphabet
             std::string("Opus Data:00001:Zh=="),      // wrong padding bits
             std::string("opus data:00001:Zm9v"),      // other letter case
             "Opus Data:00001:" + oneTooMany,          // packet too large
             "Opus Data:00001:" + longest + "Zm9v",    // line longer than any packet needs
             "Opus Data:00001:" + std::string(998 - 16, 'A'),  // a line the reader cut
         }) {
        OpusData data;
        data.sequence = 77;
        EXPECT_FALSE(ParseOpusDataLine(bad, data)) << bad;
        EXPECT_EQ(data.sequence, 77) << bad;
    }
    OpusData data;
    EXPECT_TRUE(ParseOpusDataLine("Opus Data:00001:" + longest, data));
}

TEST(WidebandMessages, ClassifiesTheNewLinesAndNothingElse) {
    std::string_view value;
    EXPECT_EQ(ClassifyWidebandClientLine("Voice Codec:opus", &value), WidebandRequest::kVoiceCodec);
    EXPECT_EQ(ClassifyWidebandClientLine("Opus Data:00012:Zm9v", &value), WidebandRequest::kOpusData);
    EXPECT_EQ(value, "00012:Zm9v");
    for (std::string_view other : {"Voice Codec:opus ", "Voice Codec:", "Voice Codec:pcm", "voice codec:opus",
                                   "Voice Data:", "Opus Data", ""}) {
        EXPECT_EQ(ClassifyWidebandClientLine(other, &value), WidebandRequest::kNone) << other;
    }
    // The wideband lines are nothing to the older classifier: a server
    // without wideband ignores them.
    EXPECT_EQ(ClassifyClientLine("Voice Codec:opus", &value), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("Opus Data:00012:Zm9v", &value), ClientRequest::kNone);
    EXPECT_EQ(ClassifyWidebandServerLine("Voice Codec:opus"), WidebandMessage::kVoiceCodec);
    EXPECT_EQ(ClassifyWidebandServerLine("Opus Data:00000:AA=="), WidebandMessage::kOpusData);
    EXPECT_EQ(ClassifyWidebandServerLine("Voice Data:www"), WidebandMessage::kNone);
    EXPECT_EQ(ClassifyServerLine("Opus Data:00000:AA=="), ServerMessage::kNone);
}

TEST(WidebandMessages, RecognisesOnlyTheAnswerItAskedFor) {
    using Lines = std::vector<std::string_view>;
    EXPECT_TRUE(IsVoiceCodecAnswer(Lines{"Voice Codec:opus", "Rate:48000", "Frame:10"}));
    EXPECT_TRUE(IsVoiceCodecAnswer(Lines{"Voice Codec:opus", "Frame:10", "Rate:48000"}));
    EXPECT_FALSE(IsVoiceCodecAnswer(Lines{"Voice Codec:opus", "Rate:16000", "Frame:10"}));
    EXPECT_FALSE(IsVoiceCodecAnswer(Lines{"Voice Codec:opus", "Rate:48000", "Frame:20"}));
    EXPECT_FALSE(IsVoiceCodecAnswer(Lines{"Voice Codec:opus", "Rate:48000"}));
    EXPECT_FALSE(IsVoiceCodecAnswer(Lines{"Voice Codec:opus", "Rate:48000", "Rate:48000"}));
    EXPECT_FALSE(IsVoiceCodecAnswer(Lines{"Voice Codec:speex", "Rate:48000", "Frame:10"}));
}

TEST(VoiceSequence, TellsAGapFromALateOrRepeatedPacketAcrossTheWrap) {
    EXPECT_EQ(NextSequence(0), 1);
    EXPECT_EQ(NextSequence(99999), 0);
    EXPECT_TRUE(IsAfter(99999, 0));
    EXPECT_FALSE(IsAfter(0, 99999));
    EXPECT_FALSE(IsAfter(5, 5));
    EXPECT_EQ(SequenceDistance(99998, 2), 4);
    EXPECT_EQ(SequenceDistance(2, 99998), -4);
    EXPECT_EQ(SequenceGap(99998, 2), 3);
    EXPECT_EQ(SequenceGap(10, 11), 0);
    EXPECT_EQ(SequenceGap(11, 10), 0);
    // Half the circle is the furthest ahead a number can be.
    EXPECT_EQ(SequenceDistance(0, 50000), 50000);
    EXPECT_EQ(SequenceDistance(0, 50001), -49999);
}
