// The history request and the first line of its answer: exact bytes, and
// that neither is taken for something else by a side that does not know it.
#include <gtest/gtest.h>

#include <string>

#include "protocol/history.h"
#include "protocol/messages.h"

namespace {

using namespace protocol;

TEST(MessageHistoryProtocol, RequestBytes) {
    EXPECT_EQ(BuildMessageHistory(), "Message History?\r\n\r\n");
    EXPECT_TRUE(IsMessageHistoryRequest("Message History?"));
    for (std::string_view other : {"Message History? ", "message history?", "Message History", "Message History?x"}) {
        EXPECT_FALSE(IsMessageHistoryRequest(other)) << other;
    }
    // A server that knows only the older requests ignores it: it is no
    // text message to relay.
    std::string_view value;
    EXPECT_EQ(ClassifyClientLine("Message History?", &value), ClientRequest::kNone);
}

TEST(MessageHistoryProtocol, SizeLineBytes) {
    std::string out = "x";
    AppendMessageHistorySize(out, 0);
    EXPECT_EQ(out, "xMessage History Size:00000\r\n\r\n");
    out.clear();
    AppendMessageHistorySize(out, 400);
    EXPECT_EQ(out, "Message History Size:00400\r\n\r\n");
    // A client that knows only the older messages ignores the line.
    EXPECT_EQ(ClassifyServerLine("Message History Size:00003"), ServerMessage::kNone);
}

TEST(MessageHistoryProtocol, SizeLineIsReadWithinItsFiveDigits) {
    int count = -1;
    EXPECT_TRUE(ParseMessageHistorySize("Message History Size:00003", &count));
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(ParseMessageHistorySize("Message History Size:", &count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(ParseMessageHistorySize("Message History Size:-7", &count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(ParseMessageHistorySize("Message History Size:4000000000", &count));
    EXPECT_EQ(count, kMaxHistorySize);
    count = 5;
    EXPECT_FALSE(ParseMessageHistorySize("Message:History Size:00003", &count));
    EXPECT_FALSE(ParseMessageHistorySize("Message History Size", &count));
    EXPECT_EQ(count, 5);
}

}  // namespace
