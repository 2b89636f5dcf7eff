// Every exchange of the protocol against the real server, byte for byte.
#include <string>

#include "server/server_fixture.h"

namespace {

using servertest::MemberListText;
using servertest::MemberLoginText;
using servertest::MemberLogoutText;
using servertest::MessageText;
using servertest::RawClient;

class ProtocolTest : public servertest::ServerFixture {};

TEST_F(ProtocolTest, LoginIsAnsweredThenAnnouncedThenListed) {
    auto alice = Connect();
    // Login and the list request at once, as a client sends them.
    ASSERT_TRUE(alice->Send("login:alice\r\n\r\nWho are login?\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), servertest::LoginSucceededText(1, 110));
    EXPECT_EQ(alice->NextMessage(), MemberLoginText(1, "alice"));
    EXPECT_EQ(alice->NextMessage(), MemberListText({{1, "alice"}}));

    auto bob = Connect();
    ASSERT_TRUE(bob->Send("login:bob\r\n\r\nWho are login?\r\n\r\n"));
    EXPECT_EQ(bob->NextMessage(), servertest::LoginSucceededText(2, 207));
    EXPECT_EQ(bob->NextMessage(), MemberLoginText(2, "bob"));
    EXPECT_EQ(bob->NextMessage(), MemberListText({{1, "alice"}, {2, "bob"}}));
    EXPECT_EQ(alice->NextMessage(), MemberLoginText(2, "bob"));

    // Nothing else went to alice: the next thing she gets is her own request.
    ASSERT_TRUE(alice->Send("Message:end\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), MessageText("end", 1, "alice"));
}

TEST_F(ProtocolTest, AnEmptyServerListsNobody) {
    auto c = Connect();
    ASSERT_TRUE(c->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(c->NextMessage(), "Member Size:00000\r\n\r\n");
}

TEST_F(ProtocolTest, TheListFollowsSessionSlotsNotIds) {
    auto a = Join("a", 1);     // slot 0
    auto b = Join("b", 2, {a.get()});  // slot 1
    ASSERT_TRUE(a->Send("logout\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), "logout succeeded\r\n\r\n");
    EXPECT_TRUE(a->WaitForClose());
    EXPECT_EQ(b->NextMessage(), MemberLogoutText(1, "a"));

    // c takes slot 0 but logs in last; d takes slot 2 and gets ID 1.
    auto c = Connect();
    ASSERT_TRUE(c->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(c->NextMessage(), MemberListText({{2, "b"}}));  // c holds slot 0 now
    auto d = Join("d", 1, {b.get(), c.get()});
    EXPECT_EQ(c->Login("c"), 3);
    ExpectAll({b.get(), c.get(), d.get()}, MemberLoginText(3, "c"));
    ASSERT_TRUE(d->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(d->NextMessage(), MemberListText({{3, "c"}, {2, "b"}, {1, "d"}}));
}

TEST_F(ProtocolTest, MessagesReachEveryoneWithTheSendersIdAndName) {
    auto alice = Join("alice", 1);
    auto bob = Join("bob", 2, {alice.get()});
    auto guest = ConnectGuest();  // connected, never logged in

    ASSERT_TRUE(bob->Send("Message:hello, world: again \r\n\r\n"));
    ExpectAll({alice.get(), bob.get(), guest.get()}, MessageText("hello, world: again ", 2, "bob"));
    // An empty text is relayed as such.
    ASSERT_TRUE(alice->Send("Message:\r\n\r\n"));
    ExpectAll({alice.get(), bob.get(), guest.get()}, MessageText("", 1, "alice"));
    // Someone who has not logged in speaks with ID 0 and no name.
    ASSERT_TRUE(guest->Send("Message:anonymous\r\n\r\n"));
    ExpectAll({alice.get(), bob.get(), guest.get()}, MessageText("anonymous", 0, ""));
    // Bytes are copied through untouched.
    std::string bytes = "\x81\x40\xe3\x81\x82\t~";
    ASSERT_TRUE(alice->Send("Message:" + bytes + "\r\n\r\n"));
    ExpectAll({alice.get(), bob.get(), guest.get()}, MessageText(bytes, 1, "alice"));
    // A zero byte ends the text: nothing from it on reaches anyone.
    const char line[] = "Message:up to\0here\r\n\r\n";
    ASSERT_TRUE(bob->Send(std::string(line, sizeof line - 1)));
    ExpectAll({alice.get(), bob.get(), guest.get()}, MessageText("up to", 2, "bob"));
}

TEST_F(ProtocolTest, AMessageBeforeTheLoginOnTheSameConnectionHasIdZeroAndNoName) {
    auto alice = Join("alice", 1);
    auto eager = Connect();
    // All in one go: the text is read before the login, and so handled.
    ASSERT_TRUE(eager->Send("Message:first\r\n\r\nlogin:eager\r\n\r\nMessage:second\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), MessageText("first", 0, ""));
    EXPECT_EQ(alice->NextMessage(), MemberLoginText(2, "eager"));
    EXPECT_EQ(alice->NextMessage(), MessageText("second", 2, "eager"));
    EXPECT_EQ(eager->NextMessage(), MessageText("first", 0, ""));
    EXPECT_EQ(eager->NextMessage(), servertest::LoginSucceededText(2, 207));
}

TEST_F(ProtocolTest, KeywordsAreExactAndCaseSensitive) {
    auto alice = Join("alice", 1);
    auto bob = Join("bob", 2, {alice.get()});
    ASSERT_TRUE(alice->Send(
        "message:x\r\nMESSAGE:x\r\n Message:x\r\n"
        "Who are login? \r\nwho are login?\r\n"
        "LOGOUT\r\nlogout \r\nLogout\r\n"
        "voice start\r\nVoice Start \r\nvoice data:x\r\n"
        "login\r\nLOGIN:x\r\n\r\n\r\n"
        "Message:marker\r\n\r\n"));
    // None of it had an effect: the marker is the next thing anyone gets,
    // and alice is still connected.
    ExpectAll({alice.get(), bob.get()}, MessageText("marker", 1, "alice"));
    EXPECT_FALSE(alice->IsClosedByServer());
}

TEST_F(ProtocolTest, LoginNamesKeepTheirBlanksAndAreCutWhereStored) {
    auto alice = Join("alice", 1);
    auto blank = Join(" bob", 2, {alice.get()});
    std::string sixty;
    for (int i = 0; i < 60; ++i) sixty.push_back(static_cast<char>('A' + i % 26));
    // The announcement carries the name as sent; everything later the stored
    // 49 characters, and the logout announcement 24.
    auto longName = Join(sixty, 3, {alice.get(), blank.get()});

    ASSERT_TRUE(alice->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), MemberListText({{1, "alice"}, {2, " bob"}, {3, sixty.substr(0, 49)}}));
    ASSERT_TRUE(longName->Send("Message:hi\r\n\r\n"));
    ExpectAll({alice.get(), blank.get(), longName.get()}, MessageText("hi", 3, sixty.substr(0, 49)));
    ASSERT_TRUE(blank->Send("Message:hi\r\n\r\n"));
    ExpectAll({alice.get(), blank.get(), longName.get()}, MessageText("hi", 2, " bob"));
    longName->Close();
    ExpectAll({alice.get(), blank.get()}, MemberLogoutText(3, sixty.substr(0, 24)));
}

TEST_F(ProtocolTest, LogoutConfirmsClosesAndTellsTheOthers) {
    auto alice = Join("alice", 1);
    auto bob = Join("bob", 2, {alice.get()});
    // Anything after "logout" is not read any more.
    ASSERT_TRUE(bob->Send("logout\r\n\r\nMessage:after\r\n\r\n"));
    EXPECT_EQ(bob->NextMessage(), "logout succeeded\r\n\r\n");
    std::string rest;
    EXPECT_TRUE(bob->WaitForClose(servertest::kWaitMs, &rest));
    EXPECT_EQ(rest, "");
    EXPECT_EQ(alice->NextMessage(), MemberLogoutText(2, "bob"));
    ASSERT_TRUE(alice->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), MemberListText({{1, "alice"}}));
}

TEST_F(ProtocolTest, ALostConnectionIsALogout) {
    auto alice = Join("alice", 1);
    auto bob = Join("bob", 2, {alice.get()});
    bob->Close();
    EXPECT_EQ(alice->NextMessage(), MemberLogoutText(2, "bob"));
    ASSERT_TRUE(alice->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), MemberListText({{1, "alice"}}));
}

TEST_F(ProtocolTest, ALineTooLongForTheBufferEndsOnlyThatLine) {
    auto alice = Join("alice", 1);
    auto bob = Join("bob", 2, {alice.get()});
    // 990 characters of text are relayed whole.
    std::string text(990, 't');
    ASSERT_TRUE(bob->Send("Message:" + text + "\r\n\r\n"));
    ExpectAll({alice.get(), bob.get()}, MessageText(text, 2, "bob"));
    // Bad input never takes the server down: a 3000-byte line, then a
    // normal request on the same connection.
    ASSERT_TRUE(bob->Send(std::string(3000, 'x') + "\r\nMessage:still here\r\n\r\n"));
    ExpectAll({alice.get(), bob.get()}, MessageText("still here", 2, "bob"));
}

// What was said before a member came, kept for two messages here.
class HistoryTest : public ProtocolTest {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start({"ORVANE_HISTORY=2"})) << server.Output(); }
};

TEST_F(HistoryTest, OnlyTheOneWhoAsksGetsTheLastRelayedMessagesAsTheyWereSent) {
    auto alice = Join("alice", 1);
    for (std::string text : {"one", "two", "three"}) {
        ASSERT_TRUE(alice->Send("Message:" + text + "\r\n\r\n"));
        EXPECT_EQ(alice->NextMessage(), MessageText(text, 1, "alice"));
    }
    // alice leaves; her ID goes to carol, yet the history keeps the sender
    // as the message named it then.
    ASSERT_TRUE(alice->Send("logout\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), "logout succeeded\r\n\r\n");
    EXPECT_TRUE(alice->WaitForClose());
    auto carol = Join("carol", 1);

    // The answer follows the login requests sent with it, in order, and goes
    // to the one who asked alone.
    auto bob = Connect();
    ASSERT_TRUE(bob->Send("login:bob\r\n\r\nWho are login?\r\n\r\nMessage History?\r\n\r\n"));
    EXPECT_EQ(bob->NextMessage(), servertest::LoginSucceededText(2, 207));
    EXPECT_EQ(bob->NextMessage(), MemberLoginText(2, "bob"));
    EXPECT_EQ(bob->NextMessage(), MemberListText({{1, "carol"}, {2, "bob"}}));
    EXPECT_EQ(bob->NextMessage(), "Message History Size:00002\r\n\r\n");
    EXPECT_EQ(bob->NextMessage(), MessageText("two", 1, "alice"));
    EXPECT_EQ(bob->NextMessage(), MessageText("three", 1, "alice"));
    EXPECT_EQ(carol->NextMessage(), MemberLoginText(2, "bob"));

    // Live messages from then on, and carol, who never asked, got nothing
    // else: her next message is the relay itself.
    ASSERT_TRUE(bob->Send("Message:now\r\n\r\n"));
    ExpectAll({bob.get(), carol.get()}, MessageText("now", 2, "bob"));
    // A second request shows the newest two, the live one included.
    ASSERT_TRUE(bob->Send("Message History?\r\n\r\n"));
    EXPECT_EQ(bob->NextMessage(), "Message History Size:00002\r\n\r\n");
    EXPECT_EQ(bob->NextMessage(), MessageText("three", 1, "alice"));
    EXPECT_EQ(bob->NextMessage(), MessageText("now", 2, "bob"));
    ASSERT_TRUE(carol->Send("Message:end\r\n\r\n"));
    EXPECT_EQ(carol->NextMessage(), MessageText("end", 1, "carol"));
}

class NoHistoryTest : public ProtocolTest {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start({"ORVANE_HISTORY=0"})) << server.Output(); }
};

TEST_F(NoHistoryTest, ZeroKeepsNothingAndTheAnswerSaysSo) {
    auto alice = Join("alice", 1);
    ASSERT_TRUE(alice->Send("Message:said\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), MessageText("said", 1, "alice"));
    ASSERT_TRUE(alice->Send("Message History?\r\n\r\nMessage:after\r\n\r\n"));
    EXPECT_EQ(alice->NextMessage(), "Message History Size:00000\r\n\r\n");
    EXPECT_EQ(alice->NextMessage(), MessageText("after", 1, "alice"));
}

}  // namespace
