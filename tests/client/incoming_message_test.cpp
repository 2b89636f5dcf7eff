// The widget-free message handling: lines folded into a message, and what
// each complete message does to the member list and asks of the dialog.
#include "client/incoming_message.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "protocol/messages.h"

namespace {

// Feeds one whole message (lines without line ends, no closing empty line)
// and applies it, the way the tick does at the empty line.
MessageOutcome Feed(IncomingMessage& message, MemberList& members, std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) message.ParseLine(line);
    MessageOutcome outcome = message.Apply(members);
    message.Reset();
    return outcome;
}

MemberList ListOf(std::vector<int> ids, std::vector<std::string> names) {
    MemberList list;
    list.Replace(ids, names);
    return list;
}

std::string Payload(char c) { return std::string(128, c); }

}  // namespace

TEST(IncomingMessage, LoginSucceededTakesIdAndVoicePassAndShowsNothing) {
    IncomingMessage m;
    MemberList members;
    m.ParseLine("login succeeded");
    EXPECT_EQ(m.kind, KIND_LOGIN_SUCCEEDED);
    m.ParseLine("ID:00012");
    m.ParseLine("VoicePass:00077");
    m.ParseLine("Name:ignored");
    MessageOutcome out = m.Apply(members);
    EXPECT_TRUE(out.takeIdentity);
    EXPECT_EQ(out.id, 12);
    EXPECT_EQ(out.voicePass, 77);
    EXPECT_FALSE(out.closeSession);
    EXPECT_TRUE(out.logText.empty());
    EXPECT_TRUE(out.notice.empty());
    EXPECT_FALSE(out.membersChanged);
}

TEST(IncomingMessage, SessionEndingMessagesCloseAndTellOnlyWhereDue) {
    MemberList members;
    IncomingMessage m;
    MessageOutcome failed = Feed(m, members, {"login failed"});
    EXPECT_TRUE(failed.closeSession);
    EXPECT_EQ(failed.notice, "ログインできませんでした");

    MessageOutcome logout = Feed(m, members, {"logout succeeded"});
    EXPECT_TRUE(logout.closeSession);
    EXPECT_TRUE(logout.notice.empty());

    MessageOutcome disconnected = Feed(m, members, {"disconnected", "ID:00003", "Name:x"});
    EXPECT_TRUE(disconnected.closeSession);
    EXPECT_EQ(disconnected.notice, "接続が切断されました");
    EXPECT_FALSE(disconnected.takeIdentity);
}

TEST(IncomingMessage, ChatMessageIsLoggedAsNameArrowText) {
    IncomingMessage m;
    MemberList members = ListOf({1}, {"Taro"});
    MessageOutcome out = Feed(m, members, {"Message:hello", "ID:00001", "Name:Taro"});
    EXPECT_EQ(out.logText, "Taro> hello\r\n");
    EXPECT_FALSE(out.membersChanged);
    EXPECT_EQ(members.Count(), 1);

    // An empty text and a blank after the colon are kept as they are.
    EXPECT_EQ(Feed(m, members, {"Message:", "ID:00001", "Name:Taro"}).logText, "Taro> \r\n");
    EXPECT_EQ(Feed(m, members, {"Message: x ", "Name: Taro"}).logText, " Taro>  x \r\n");
}

TEST(IncomingMessage, ChatTextThatLooksLikeKeywordsIsOnlyText) {
    IncomingMessage m;
    MemberList members = ListOf({1, 2}, {"Taro", "Hanako"});
    for (std::string text : {std::string("Member Size:99999"), std::string("Voice Data:") + Payload('0'),
                             std::string("disconnected"), std::string("login failed")}) {
        MessageOutcome out = Feed(m, members, {"Message:" + text, "ID:00002", "Name:Hanako"});
        EXPECT_EQ(out.logText, "Hanako> " + text + "\r\n");
        EXPECT_FALSE(out.closeSession);
        EXPECT_FALSE(out.playVoice);
        EXPECT_FALSE(out.membersChanged);
        EXPECT_TRUE(out.notice.empty());
    }
    EXPECT_EQ(members.Ids(), (std::vector<int>{1, 2}));
    // A field line of a message that reads like a first line is a field line.
    MessageOutcome out = Feed(m, members, {"Message:hi", "Member Size:00003", "ID:00002", "Name:Hanako"});
    EXPECT_EQ(out.logText, "Hanako> hi\r\n");
    EXPECT_EQ(members.Count(), 2);
}

TEST(IncomingMessage, RepeatedFieldReplacesTheEarlierValue) {
    IncomingMessage m;
    MemberList members;
    MessageOutcome out = Feed(m, members, {"Message:x", "Name:A", "Name:B", "ID:1", "ID:2"});
    EXPECT_EQ(out.logText, "B> x\r\n");
}

TEST(IncomingMessage, FullListReplacesInServerOrderAndJoinLeaveKeepOrderById) {
    IncomingMessage m;
    MemberList members = ListOf({9}, {"Old"});
    MessageOutcome list = Feed(m, members,
                               {"Member Size:00003", "ID:00005", "Name:Eve", "ID:00002", "Name:Bob",
                                "ID:00007", "Name:Gus"});
    EXPECT_TRUE(list.membersChanged);
    EXPECT_TRUE(list.logText.empty());
    EXPECT_EQ(members.Ids(), (std::vector<int>{5, 2, 7}));
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"Eve", "Bob", "Gus"}));

    // A smaller ID than all goes first; any other before the first entry
    // with a greater ID, so after a twin with an equal one.
    MessageOutcome join = Feed(m, members, {"Member login", "ID:00001", "Name:Ann"});
    EXPECT_TRUE(join.membersChanged);
    EXPECT_EQ(join.logText, "Annさんが参加されました\r\n");
    Feed(m, members, {"Member login", "ID:00005", "Name:Eve2"});
    Feed(m, members, {"Member login", "ID:00006", "Name:Fay"});
    EXPECT_EQ(members.Ids(), (std::vector<int>{1, 5, 2, 5, 6, 7}));
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"Ann", "Eve", "Bob", "Eve2", "Fay", "Gus"}));

    // Logout takes out only the first entry with the ID.
    MessageOutcome leave = Feed(m, members, {"Member logout", "ID:00005", "Name:Eve"});
    EXPECT_TRUE(leave.membersChanged);
    EXPECT_EQ(leave.logText, "Eveさんが退席されました\r\n");
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"Ann", "Bob", "Eve2", "Fay", "Gus"}));
    // In a list in ID order an equal ID lands right after its twin.
    MemberList sorted = ListOf({2, 4, 6}, {"B", "D", "F"});
    Feed(m, sorted, {"Member login", "ID:00004", "Name:D2"});
    EXPECT_EQ(sorted.Names(), (std::vector<std::string>{"B", "D", "D2", "F"}));
}

TEST(IncomingMessage, JoinIntoAnEmptyListOnlyLogs) {
    IncomingMessage m;
    MemberList members;
    MessageOutcome out = Feed(m, members, {"Member login", "ID:00004", "Name:Me"});
    EXPECT_FALSE(out.membersChanged);
    EXPECT_EQ(out.logText, "Meさんが参加されました\r\n");
    EXPECT_EQ(members.Count(), 0);
}

TEST(IncomingMessage, LogoutOfAnUnknownIdChangesNothingButTheLog) {
    IncomingMessage m;
    MemberList members = ListOf({1, 3}, {"A", "C"});
    MessageOutcome out = Feed(m, members, {"Member logout", "ID:00002", "Name:B"});
    EXPECT_FALSE(out.membersChanged);
    EXPECT_EQ(out.logText, "Bさんが退席されました\r\n");
    EXPECT_EQ(members.Ids(), (std::vector<int>{1, 3}));

    MemberList empty;
    EXPECT_FALSE(Feed(m, empty, {"Member logout", "ID:00002", "Name:B"}).membersChanged);
    EXPECT_EQ(empty.Count(), 0);
}

TEST(IncomingMessage, ListShorterThanItsHeaderShowsOnlyArrivedEntries) {
    IncomingMessage m;
    MemberList members;
    // Three announced, two whole entries and an ID without its name.
    Feed(m, members, {"Member Size:00003", "ID:00004", "Name:D", "ID:00001", "Name:A", "ID:00009"});
    EXPECT_EQ(members.Ids(), (std::vector<int>{4, 1}));
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"D", "A"}));

    // A huge or negative count allocates nothing up front and takes what came.
    Feed(m, members, {"Member Size:2147483647", "ID:2", "Name:B"});
    EXPECT_EQ(members.Ids(), (std::vector<int>{2}));
    Feed(m, members, {"Member Size:-5", "ID:2", "Name:B"});
    EXPECT_EQ(members.Count(), 0);
}

TEST(IncomingMessage, SurplusListEntriesAreIgnoredAndNameCompletesAnEntry) {
    IncomingMessage m;
    MemberList members;
    // An entry without an ID line reads as ID 0; entries past the count are dropped.
    Feed(m, members, {"Member Size:00002", "Name:NoId", "ID:00003", "ID:00004", "Name:Four", "ID:00005",
                      "Name:Five"});
    EXPECT_EQ(members.Ids(), (std::vector<int>{0, 4}));
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"NoId", "Four"}));
}

TEST(IncomingMessage, EmptyFullListEmptiesTheMembers) {
    IncomingMessage m;
    MemberList members = ListOf({1}, {"A"});
    MessageOutcome out = Feed(m, members, {"Member Size:00000"});
    EXPECT_TRUE(out.membersChanged);
    EXPECT_EQ(members.Count(), 0);
}

TEST(IncomingMessage, SpeakingListMarksSpeakersAndKeepsTheMembers) {
    auto apply = [](MemberList& members, std::initializer_list<const char*> lines) {
        IncomingMessage m;
        for (const char* line : lines) m.ParseLine(line);
        return m.Apply(members);
    };
    MemberList members = ListOf({1, 2}, {"A", "B"});
    IncomingMessage header;
    header.ParseLine("Speaking Member Size:00002");
    EXPECT_EQ(header.kind, KIND_SPEAKING_LIST);  // not taken for "Member Size:"

    // Speakers who are not listed (7) add nobody; the list stays as it is.
    MessageOutcome out = apply(members, {"Speaking Member Size:00002", "ID:00002", "Name:B", "ID:00007", "Name:X"});
    EXPECT_TRUE(out.membersChanged);
    EXPECT_FALSE(out.closeSession);
    EXPECT_TRUE(out.logText.empty());
    EXPECT_FALSE(out.playVoice);
    EXPECT_EQ(members.Ids(), (std::vector<int>{1, 2}));
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"A", "B"}));
    EXPECT_FALSE(members.IsSpeaking(1));
    EXPECT_TRUE(members.IsSpeaking(2));
    EXPECT_TRUE(members.IsSpeaking(7));

    // The same set again changes nothing; an entry without its Name line
    // does not count.
    EXPECT_FALSE(apply(members, {"Speaking Member Size:00002", "ID:00007", "Name:X", "ID:00002", "Name:B"}).membersChanged);
    EXPECT_TRUE(apply(members, {"Speaking Member Size:00002", "ID:00001", "Name:A", "ID:00002"}).membersChanged);
    EXPECT_TRUE(members.IsSpeaking(1));
    EXPECT_FALSE(members.IsSpeaking(2));

    // A member who logs in or out keeps the marks of the others; an empty
    // list clears them, and so does the end of the session.
    EXPECT_TRUE(apply(members, {"Member login", "ID:00003", "Name:C"}).membersChanged);
    EXPECT_TRUE(members.IsSpeaking(1));
    EXPECT_TRUE(apply(members, {"Speaking Member Size:00000"}).membersChanged);
    EXPECT_FALSE(members.IsSpeaking(1));
    apply(members, {"Speaking Member Size:00001", "ID:00003", "Name:C"});
    members.Clear();
    EXPECT_FALSE(members.IsSpeaking(3));
}

TEST(IncomingMessage, VoiceDataCopiesExactly128CharactersAndDropsShortOnes) {
    IncomingMessage m;
    MemberList members;
    std::string payload;
    for (int i = 0; i < 128; ++i) payload += "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+-"[i % 64];
    m.ParseLine("Voice Data:" + payload + "TAIL");
    EXPECT_EQ(m.kind, KIND_VOICE_DATA);
    EXPECT_EQ(std::string(m.voiceFrame.begin(), m.voiceFrame.end()), payload);
    m.ParseLine("ID:00001");  // later lines change nothing
    EXPECT_TRUE(m.Apply(members).playVoice);
    m.Reset();
    // The frame keeps its bytes across a reset.
    EXPECT_EQ(std::string(m.voiceFrame.begin(), m.voiceFrame.end()), payload);

    // 127 characters: not played, and the old frame is not overwritten by a
    // partial copy.
    m.ParseLine("Voice Data:" + std::string(127, 'z'));
    EXPECT_FALSE(m.Apply(members).playVoice);
    EXPECT_EQ(std::string(m.voiceFrame.begin(), m.voiceFrame.end()), payload);
    m.Reset();
    m.ParseLine("Voice Data:");
    EXPECT_FALSE(m.Apply(members).playVoice);
}

TEST(IncomingMessage, StrayLinesBeforeAMessageAreDroppedOneByOne) {
    IncomingMessage m;
    MemberList members;
    m.ParseLine("ID:00001");
    m.ParseLine("member login");  // wrong letter case
    m.ParseLine("Name:x");
    EXPECT_EQ(m.kind, KIND_NONE);
    EXPECT_EQ(m.Apply(members).logText, "");
    m.ParseLine("Message:after");
    m.ParseLine("Name:N");
    EXPECT_EQ(m.Apply(members).logText, "N> after\r\n");
}

TEST(IncomingMessage, EachMessageStartsFromAReset) {
    IncomingMessage m;
    MemberList members = ListOf({1}, {"A"});
    EXPECT_EQ(Feed(m, members, {"Message:one", "ID:00001", "Name:A"}).logText, "A> one\r\n");
    // The second message has no Name line: its name is empty, not "A".
    EXPECT_EQ(Feed(m, members, {"Message:two", "ID:00001"}).logText, "> two\r\n");
    EXPECT_EQ(m.kind, KIND_NONE);
    EXPECT_TRUE(m.ids.empty());
    EXPECT_TRUE(m.text.empty());
}

TEST(IncomingMessage, NumbersReadLikeAtoi) {
    IncomingMessage m;
    MemberList members;
    m.ParseLine("login succeeded");
    m.ParseLine("ID:  -0012xyz");
    m.ParseLine("VoicePass:abc");
    MessageOutcome out = m.Apply(members);
    EXPECT_EQ(out.id, -12);
    EXPECT_EQ(out.voicePass, 0);
}

TEST(IncomingMessage, ServerBuiltMessagesRoundTrip) {
    // The texts the server's builders produce, cut into lines as the receive
    // thread delivers them.
    std::string wire;
    protocol::AppendLoginSucceeded(wire, 3, 45);
    protocol::AppendMemberLogin(wire, 3, "Taro");
    protocol::AppendMemberSize(wire, 2);
    protocol::AppendListEntry(wire, 3, "Taro");
    protocol::AppendListEntry(wire, 1, "Hanako");
    protocol::AppendListEnd(wire);
    protocol::AppendTextMessage(wire, "hello", 3, "Taro");
    protocol::AppendMemberLogout(wire, 1, "Hanako");

    IncomingMessage m;
    MemberList members;
    std::vector<MessageOutcome> outcomes;
    size_t start = 0;
    while (start < wire.size()) {
        size_t end = wire.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = wire.substr(start, end - start);
        start = end + 2;
        if (line.empty()) {
            outcomes.push_back(m.Apply(members));
            m.Reset();
        } else {
            m.ParseLine(line);
        }
    }
    ASSERT_EQ(outcomes.size(), 5u);
    EXPECT_EQ(outcomes[0].id, 3);
    EXPECT_EQ(outcomes[0].voicePass, 45);
    EXPECT_EQ(outcomes[1].logText, "Taroさんが参加されました\r\n");
    EXPECT_FALSE(outcomes[1].membersChanged);
    EXPECT_TRUE(outcomes[2].membersChanged);
    EXPECT_EQ(outcomes[3].logText, "Taro> hello\r\n");
    EXPECT_EQ(outcomes[4].logText, "Hanakoさんが退席されました\r\n");
    EXPECT_EQ(members.Names(), (std::vector<std::string>{"Taro"}));
}
