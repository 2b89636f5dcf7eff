// The message history: the exact bytes of its answer, its order and limit,
// that it shares the relayed records rather than copying them, and how the
// server takes its ORVANE_HISTORY setting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/message_history.h"
#include "server/outgoing_message.h"
#include "server/record_codes.h"
#include "server/wire_record.h"

namespace {

// A text message as the relay formats it for everyone.
WireRef Relayed(std::string_view text, int id, std::string_view name, WireRecordPool* pool = nullptr) {
    OutgoingMessage m;
    m.Resize(1);
    m.code = EV_MESSAGE;
    m.SetEntry(0, id, name);
    m.SetText(text);
    return WireRef::Format(m, pool);
}

std::string AnswerBytes(const MessageHistory& history) {
    std::vector<WireRef> answer;
    history.AppendAnswer(answer);
    std::string bytes;
    for (const WireRef& r : answer) bytes += r->bytes;
    return bytes;
}

// The n-th text of a run, and the bytes its relay carries.
std::string Text(int n) {
    std::string text = "m";
    text.append(std::to_string(n));
    return text;
}

std::string Message(int n) { return "Message:" + Text(n) + "\r\nID:00003\r\nName:Ann\r\n\r\n"; }

TEST(MessageHistory, EmptyAnswerIsTheSizeLineAlone) {
    MessageHistory history;
    std::vector<WireRef> answer;
    history.AppendAnswer(answer);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0]->bytes, "Message History Size:00000\r\n\r\n");
    EXPECT_EQ(answer[0]->code, MSG_MESSAGE_HISTORY);
    EXPECT_FALSE(answer[0]->IsVoice());
    EXPECT_FALSE(answer[0]->EndsConnection());
}

TEST(MessageHistory, OneMessageIsTheRelayedRecordItself) {
    MessageHistory history;
    WireRef relayed = Relayed("こんにちは world", 7, "太郎");
    ASSERT_TRUE(history.Record(relayed));
    std::vector<WireRef> answer;
    history.AppendAnswer(answer);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0]->bytes, "Message History Size:00001\r\n\r\n");
    EXPECT_EQ(answer[1]->bytes, "Message:こんにちは world\r\nID:00007\r\nName:太郎\r\n\r\n");
    // Shared, not copied: the answer holds the very record that was relayed.
    EXPECT_EQ(&*answer[1], &*relayed);
}

TEST(MessageHistory, FullHistoryAnswersOldestFirst) {
    MessageHistory history(3);
    for (int n = 1; n <= 3; ++n) history.Record(Relayed(Text(n), 3, "Ann"));
    EXPECT_EQ(history.Size(), 3);
    EXPECT_EQ(AnswerBytes(history), "Message History Size:00003\r\n\r\n" + Message(1) + Message(2) + Message(3));
}

TEST(MessageHistory, OverflowDropsTheOldestAndKeepsTheOrder) {
    MessageHistory history(3);
    for (int n = 1; n <= 8; ++n) history.Record(Relayed(Text(n), 3, "Ann"));
    EXPECT_EQ(history.Size(), 3);
    EXPECT_EQ(AnswerBytes(history), "Message History Size:00003\r\n\r\n" + Message(6) + Message(7) + Message(8));
}

TEST(MessageHistory, DefaultKeepsTheLastFifty) {
    MessageHistory history;
    EXPECT_EQ(history.Limit(), 50);
    for (int n = 1; n <= 61; ++n) history.Record(Relayed(Text(n), 3, "Ann"));
    std::vector<WireRef> answer;
    history.AppendAnswer(answer);
    ASSERT_EQ(answer.size(), 51u);
    EXPECT_EQ(answer[0]->bytes, "Message History Size:00050\r\n\r\n");
    EXPECT_EQ(answer[1]->bytes, Message(12));
    EXPECT_EQ(answer[50]->bytes, Message(61));
}

TEST(MessageHistory, SenderAsItWasThen) {
    MessageHistory history;
    history.Record(Relayed("before", 2, "Old name"));
    // The same ID later belongs to someone else; what was said stays theirs.
    history.Record(Relayed("after", 2, "New name"));
    EXPECT_EQ(AnswerBytes(history), "Message History Size:00002\r\n\r\n"
                                    "Message:before\r\nID:00002\r\nName:Old name\r\n\r\n"
                                    "Message:after\r\nID:00002\r\nName:New name\r\n\r\n");
}

TEST(MessageHistory, LimitZeroKeepsNothing) {
    MessageHistory history(0);
    EXPECT_FALSE(history.Record(Relayed("lost", 1, "A")));
    EXPECT_EQ(history.Size(), 0);
    EXPECT_EQ(AnswerBytes(history), "Message History Size:00000\r\n\r\n");
}

TEST(MessageHistory, KeepsOnlyTextMessages) {
    MessageHistory history;
    OutgoingMessage login;
    login.Resize(1);
    login.code = MSG_MEMBER_LOGIN;
    login.SetEntry(0, 1, "A");
    EXPECT_FALSE(history.Record(WireRef::Format(login)));
    EXPECT_FALSE(history.Record(WireRef{}));
    WireRef voice = WireRef::Make(nullptr);
    voice.Edit().code = EV_VOICE_DATA;
    EXPECT_FALSE(history.Record(voice));
    EXPECT_EQ(history.Size(), 0);
}

TEST(MessageHistory, LimitIsBounded) {
    EXPECT_EQ(MessageHistory(-5).Limit(), 0);
    EXPECT_EQ(MessageHistory(MessageHistory::kMaxLimit + 1).Limit(), MessageHistory::kMaxLimit);
    MessageHistory largest(1 << 30);
    for (int n = 1; n <= MessageHistory::kMaxLimit + 2; ++n) largest.Record(Relayed(Text(n), 3, "Ann"));
    std::vector<WireRef> answer;
    largest.AppendAnswer(answer);
    ASSERT_EQ(answer.size(), static_cast<std::size_t>(MessageHistory::kMaxLimit) + 1);
    EXPECT_EQ(answer[0]->bytes, "Message History Size:00400\r\n\r\n");
    EXPECT_EQ(answer[1]->bytes, Message(3));
}

TEST(MessageHistory, PooledRecordsGoBackWhenTheHistoryGoes) {
    WireRecordPool pool;
    {
        MessageHistory history(2);
        for (int n = 1; n <= 5; ++n) history.Record(Relayed(Text(n), 3, "Ann", &pool));
        // The two kept; the three pushed out went back at once.
        EXPECT_EQ(pool.InUse(), 2);
        std::vector<WireRef> answer;
        history.AppendAnswer(answer, &pool);
        EXPECT_EQ(pool.InUse(), 3);
    }
    EXPECT_EQ(pool.InUse(), 0);
}

// ---- ORVANE_HISTORY ----

TEST(HistoryLimitSetting, TakesWholeNumbersWithinTheBound) {
    std::string problem;
    EXPECT_EQ(HistoryLimitFromSetting(nullptr, &problem), 50);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(HistoryLimitFromSetting("", &problem), 50);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(HistoryLimitFromSetting("0", &problem), 0);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(HistoryLimitFromSetting(" 12 ", &problem), 12);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(HistoryLimitFromSetting("007", &problem), 7);
    EXPECT_EQ(HistoryLimitFromSetting("400", &problem), 400);
    EXPECT_EQ(problem, "");
}

TEST(HistoryLimitSetting, LargerNumbersAreCutToTheBound) {
    std::string problem;
    EXPECT_EQ(HistoryLimitFromSetting("401", &problem), 400);
    EXPECT_EQ(problem, "ORVANE_HISTORY=\"401\" is more than the server keeps; keeping the last 400 messages");
    EXPECT_EQ(HistoryLimitFromSetting("99999999999999999999999999", &problem), 400);
    EXPECT_NE(problem, "");
}

TEST(HistoryLimitSetting, AnythingElseKeepsTheDefault) {
    for (const char* bad : {"-1", "abc", "5x", "+5", "0x10", "1.5", " ", "1 2"}) {
        std::string problem;
        EXPECT_EQ(HistoryLimitFromSetting(bad, &problem), 50) << bad;
        EXPECT_EQ(problem, "ORVANE_HISTORY=\"" + std::string(bad) +
                               "\" is not a number from 0 to 400; keeping the last 50 messages")
            << bad;
    }
}

TEST(HistoryLimitSetting, TheOperatorIsToldOnStandardError) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(HistoryLimitFromSetting("lots"), 50);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Orvane: ORVANE_HISTORY=\"lots\" is not a number from 0 to 400; keeping the last 50 messages\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(HistoryLimitFromSetting("20"), 20);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
