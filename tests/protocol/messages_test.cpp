#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <string>

using namespace protocol;

namespace {
template <typename F>
std::string Built(F f) {
    std::string out;
    f(out);
    return out;
}
}  // namespace

TEST(Messages, ClientRequestsAreByteExact) {
    EXPECT_EQ(BuildLogin("Taro"), "login:Taro\r\n\r\n");
    EXPECT_EQ(BuildLogin(""), "login:\r\n\r\n");
    EXPECT_EQ(BuildWhoAreLogin(), "Who are login?\r\n\r\n");
    EXPECT_EQ(BuildWhoAreLogin().size(), 18u);
    EXPECT_EQ(BuildWhoAreSpeaking(), "Who are speaking?\r\n\r\n");
    EXPECT_EQ(BuildWhoAreSpeaking().size(), 21u);
    EXPECT_EQ(BuildMessage("hello"), "Message:hello\r\n\r\n");
    EXPECT_EQ(BuildLogout(), "logout\r\n\r\n");
    EXPECT_EQ(BuildLogout().size(), 10u);
    EXPECT_EQ(BuildVoiceStart(), "Voice Start\r\n\r\n");
    EXPECT_EQ(BuildVoiceStart().size(), 15u);
    EXPECT_EQ(BuildVoiceStop(), "Voice Stop\r\n\r\n");
    EXPECT_EQ(BuildVoiceStop().size(), 14u);
    std::string frame = BuildVoiceData(std::string(128, 'w'));
    EXPECT_EQ(frame, "Voice Data:" + std::string(128, 'w') + "\r\n\r\n");
    EXPECT_EQ(frame.size(), 143u);
}

TEST(Messages, ServerMessagesAreByteExact) {
    EXPECT_EQ(Built([](auto& o) { AppendLoginSucceeded(o, 3, 171); }),
              "login succeeded\r\nID:00003\r\nVoicePass:00171\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendLoginFailed(o); }), "login failed\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendLoginFailed(o); }).size(), 16u);
    EXPECT_EQ(Built([](auto& o) { AppendLogoutSucceeded(o); }), "logout succeeded\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendDisconnected(o); }), "disconnected\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendMemberLogin(o, 1, " Taro"); }),
              "Member login\r\nID:00001\r\nName: Taro\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendMemberLogout(o, 25, "Hanako"); }),
              "Member logout\r\nID:00025\r\nName:Hanako\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendTextMessage(o, "hello", 2, "Jiro"); }),
              "Message:hello\r\nID:00002\r\nName:Jiro\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendTextMessage(o, "", 0, ""); }), "Message:\r\nID:00000\r\nName:\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) {
                  AppendMemberSize(o, 2);
                  AppendListEntry(o, 2, "B");
                  AppendListEntry(o, 1, "A");
                  AppendListEnd(o);
              }),
              "Member Size:00002\r\nID:00002\r\nName:B\r\nID:00001\r\nName:A\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) {
                  AppendMemberSize(o, 0);
                  AppendListEnd(o);
              }),
              "Member Size:00000\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) {
                  AppendSpeakingMemberSize(o, 1);
                  AppendListEntry(o, 4, "S");
                  AppendListEnd(o);
              }),
              "Speaking Member Size:00001\r\nID:00004\r\nName:S\r\n\r\n");
    EXPECT_EQ(Built([](auto& o) { AppendVoiceData(o, std::string(128, '+')); }),
              "Voice Data:" + std::string(128, '+') + "\r\n\r\n");
}

TEST(Messages, NumbersArePaddedLikePrintf) {
    EXPECT_EQ(Built([](auto& o) { AppendNumber5(o, 0); }), "00000");
    EXPECT_EQ(Built([](auto& o) { AppendNumber5(o, 255); }), "00255");
    EXPECT_EQ(Built([](auto& o) { AppendNumber5(o, 123456); }), "123456");
    EXPECT_EQ(Built([](auto& o) { AppendNumber5(o, -12); }), "-0012");
}

TEST(Messages, NumbersAreReadLikeAtoi) {
    EXPECT_EQ(ParseNumber("00025"), 25);
    EXPECT_EQ(ParseNumber("  7"), 7);
    EXPECT_EQ(ParseNumber("+12x"), 12);
    EXPECT_EQ(ParseNumber("-3"), -3);
    EXPECT_EQ(ParseNumber("5000abc"), 5000);
    EXPECT_EQ(ParseNumber("abc"), 0);
    EXPECT_EQ(ParseNumber(""), 0);
    EXPECT_EQ(ParseNumber("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParseNumber("-99999999999999999999"), -2147483647 - 1);
}

TEST(Messages, ClientLinesAreRecognisedExactlyAndCaseSensitively) {
    std::string_view value;
    EXPECT_EQ(ClassifyClientLine("login: Taro", &value), ClientRequest::kLogin);
    EXPECT_EQ(value, " Taro");
    EXPECT_EQ(ClassifyClientLine("Who are login?", nullptr), ClientRequest::kWhoAreLogin);
    EXPECT_EQ(ClassifyClientLine("Who are login? ", nullptr), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("Who are speaking?", nullptr), ClientRequest::kWhoAreSpeaking);
    EXPECT_EQ(ClassifyClientLine("Who are speaking? ", nullptr), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("who are speaking?", nullptr), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("Message:", &value), ClientRequest::kMessage);
    EXPECT_EQ(value, "");
    EXPECT_EQ(ClassifyClientLine("logout", nullptr), ClientRequest::kLogout);
    EXPECT_EQ(ClassifyClientLine("LOGOUT", nullptr), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("logout ", nullptr), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("Voice Start", nullptr), ClientRequest::kVoiceStart);
    EXPECT_EQ(ClassifyClientLine("Voice Stop", nullptr), ClientRequest::kVoiceStop);
    EXPECT_EQ(ClassifyClientLine("Voice Data:abc", &value), ClientRequest::kVoiceData);
    EXPECT_EQ(value, "abc");
    EXPECT_EQ(ClassifyClientLine("", nullptr), ClientRequest::kNone);
    EXPECT_EQ(ClassifyClientLine("message:x", nullptr), ClientRequest::kNone);
}

TEST(Messages, ServerFirstLinesAreRecognisedByTheirKeyword) {
    EXPECT_EQ(ClassifyServerLine("login succeeded"), ServerMessage::kLoginSucceeded);
    EXPECT_EQ(ClassifyServerLine("login failed"), ServerMessage::kLoginFailed);
    EXPECT_EQ(ClassifyServerLine("logout succeeded"), ServerMessage::kLogoutSucceeded);
    EXPECT_EQ(ClassifyServerLine("disconnected"), ServerMessage::kDisconnected);
    EXPECT_EQ(ClassifyServerLine("Member login"), ServerMessage::kMemberLogin);
    EXPECT_EQ(ClassifyServerLine("Member logout"), ServerMessage::kMemberLogout);
    EXPECT_EQ(ClassifyServerLine("Message:hi"), ServerMessage::kMessage);
    EXPECT_EQ(ClassifyServerLine("Member Size:00003"), ServerMessage::kMemberSize);
    EXPECT_EQ(ClassifyServerLine("Speaking Member Size:00001"), ServerMessage::kSpeakingMemberSize);
    EXPECT_EQ(ClassifyServerLine("Voice Data:www"), ServerMessage::kVoiceData);
    EXPECT_EQ(ClassifyServerLine("ID:00001"), ServerMessage::kNone);
    EXPECT_EQ(ClassifyServerLine("hello"), ServerMessage::kNone);
}
