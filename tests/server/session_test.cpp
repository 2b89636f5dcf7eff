// A session on a real loopback connection: its guarded fields, what its
// reader posts, what its writer sends, and how it ends.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/record_codes.h"
#include "server/server_process.h"
#include "server/session.h"
#include "support/loopback.h"

namespace {

using servertest::kWaitMs;
using servertest::RawClient;

std::unique_ptr<CNetSocket> ConnectClient(RawClient& client) {
    std::uint16_t port = 0;
    auto listener = testsupport::ListenOnFreePort(&port);
    if (!client.Connect(port)) return nullptr;
    return listener->Accept(nullptr);
}

OutgoingMessage Record(int code) {
    OutgoingMessage m;
    m.code = code;
    return m;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto connection = ConnectClient(client);
        ASSERT_TRUE(connection);
        ASSERT_TRUE(session.Open(connection, &events));
        EXPECT_FALSE(connection);  // the session owns it now
    }

    void TearDown() override {
        session.SendMessage(Record(MSG_DISCONNECTED));
        session.Close();
        session.WaitForThreads();
    }

    // The next event the reader posted, or one with code 0.
    SessionEvent NextEvent() {
        SessionEvent e;
        events.ReceiveWithin(e, kWaitMs);
        return e;
    }

    EventBuffer events{256};
    CSession session;
    RawClient client;
};

TEST_F(SessionTest, OpenOnAnOccupiedSessionRefusesAndLeavesTheConnection) {
    RawClient other;
    auto connection = ConnectClient(other);
    ASSERT_TRUE(connection);
    EXPECT_FALSE(session.Open(connection, &events));
    EXPECT_TRUE(connection);
    EXPECT_TRUE(session.IsOccupied());
}

TEST_F(SessionTest, FieldsAreSetOncePerConnection) {
    int id = -1;
    EXPECT_FALSE(session.GetID(&id));
    EXPECT_EQ(id, 0);
    session.SetID(7);
    session.SetID(9);
    EXPECT_TRUE(session.GetID(&id));
    EXPECT_EQ(id, 7);
    session.SetVoicePass(200);
    session.SetVoicePass(3);
    int pass = 0;
    EXPECT_TRUE(session.GetVoicePass(&pass));
    EXPECT_EQ(pass, 200);

    std::string name = "untouched";
    EXPECT_FALSE(session.GetName(&name, 49));
    EXPECT_EQ(name, "untouched");
    std::string sixty(60, 'a');
    for (int i = 0; i < 60; ++i) sixty[static_cast<std::size_t>(i)] = static_cast<char>('A' + i % 26);
    session.SetName(sixty);
    session.SetName("second");
    EXPECT_TRUE(session.GetName(&name, 49));
    EXPECT_EQ(name, sixty.substr(0, 49));
    EXPECT_TRUE(session.GetName(&name, 24));
    EXPECT_EQ(name, sixty.substr(0, 24));
}

TEST_F(SessionTest, ALeavingMemberCountsAsNoMember) {
    session.SetID(6);
    session.SetName("going");
    session.SetLeaving();
    int id = 0;
    std::string name;
    EXPECT_FALSE(session.GetID(&id));
    EXPECT_EQ(id, 6);
    EXPECT_FALSE(session.GetName(&name, 49));
    EXPECT_EQ(name, "going");
    // Still connected: its last reply goes out.
    EXPECT_TRUE(session.IsOccupied());
    EXPECT_TRUE(session.SendMessage(Record(MSG_LOGOUT_SUCCEEDED)));
    EXPECT_EQ(client.NextMessage(), "logout succeeded\r\n\r\n");
    EXPECT_TRUE(client.WaitForClose());
}

TEST_F(SessionTest, AFreeSessionReportsNothingButKeepsItsValues) {
    session.SetID(4);
    session.SetName("kept");
    EXPECT_TRUE(session.Close());
    EXPECT_FALSE(session.Close());
    EXPECT_FALSE(session.IsOccupied());
    int id = 0;
    EXPECT_FALSE(session.GetID(&id));
    EXPECT_EQ(id, 4);
    std::string name;
    EXPECT_FALSE(session.GetName(&name, 49));
    EXPECT_EQ(name, "kept");
    session.SetID(8);
    session.GetID(&id);
    EXPECT_EQ(id, 4);
    EXPECT_FALSE(session.SendMessage(Record(MSG_DISCONNECTED)));
    EXPECT_TRUE(client.WaitForClose());
}

TEST_F(SessionTest, ReaderPostsWhatTheClientSentAndIgnoresTheRest) {
    ASSERT_TRUE(client.Send(
        "login: Bob\r\n\r\n"
        "Who are login? \r\nwho are login?\r\nWho are login?\r\n"
        "Message:\r\nMessage:a:b\r\n"
        "message:x\r\nLOGOUT\r\nVoice start\r\n"
        "Voice Start\r\nVoice Stop\r\nVoice Data:abc\r\n"));
    SessionEvent e = NextEvent();
    EXPECT_EQ(e.code, EV_LOGIN);
    EXPECT_EQ(e.Name(), " Bob");
    EXPECT_EQ(e.session, &session);
    // The reader stores the name itself; master_thread assigns the ID.
    std::string name;
    EXPECT_TRUE(session.GetName(&name, 49));
    EXPECT_EQ(name, " Bob");

    EXPECT_EQ(NextEvent().code, EV_WHO);
    e = NextEvent();
    EXPECT_EQ(e.code, EV_MESSAGE);
    EXPECT_TRUE(e.HasText());
    EXPECT_EQ(e.Text(), "");
    e = NextEvent();
    EXPECT_EQ(e.code, EV_MESSAGE);
    EXPECT_EQ(e.Text(), "a:b");
    EXPECT_EQ(NextEvent().code, EV_VOICE_START);
    EXPECT_EQ(NextEvent().code, EV_VOICE_STOP);
    e = NextEvent();
    EXPECT_EQ(e.code, EV_VOICE_DATA);
    EXPECT_EQ(e.Text(), "abc");
    EXPECT_EQ(events.GetSize(), 0);
}

TEST_F(SessionTest, ReaderStopsAfterLogout) {
    ASSERT_TRUE(client.Send("logout\r\n\r\nMessage:after\r\n\r\n"));
    SessionEvent e = NextEvent();
    EXPECT_EQ(e.code, EV_LOGOUT);
    EXPECT_EQ(e.session, &session);
    // The writer answers and closes the session.
    EXPECT_TRUE(session.SendMessage(Record(MSG_LOGOUT_SUCCEEDED)));
    EXPECT_EQ(client.NextMessage(), "logout succeeded\r\n\r\n");
    EXPECT_TRUE(client.WaitForClose());
    session.WaitForThreads();
    EXPECT_FALSE(session.IsOccupied());
    EXPECT_EQ(events.GetSize(), 0);
}

TEST_F(SessionTest, LostConnectionIsALogout) {
    client.Close();
    EXPECT_EQ(NextEvent().code, EV_LOGOUT);
}

TEST_F(SessionTest, WriterSendsRecordsInOrderAndStopsAtDisconnected) {
    OutgoingMessage login;
    login.Resize(1);
    login.code = MSG_LOGIN_SUCCEEDED;
    login.SetEntry(0, 3);
    login.voicePass = 42;
    OutgoingMessage list;
    list.Resize(2);
    list.code = MSG_MEMBER_LIST;
    list.SetEntry(0, 3, "c");
    list.SetEntry(1, 1, "a");
    OutgoingMessage speaking = list;
    speaking.code = MSG_SPEAKING_LIST;
    OutgoingMessage text;
    text.Resize(1);
    text.code = EV_MESSAGE;
    text.SetEntry(0, 3, "c");
    text.SetText("hi");
    ASSERT_TRUE(session.SendMessage(login));
    ASSERT_TRUE(session.SendMessage(Record(12345)));  // no text: nothing sent
    ASSERT_TRUE(session.SendMessage(list));
    ASSERT_TRUE(session.SendMessage(speaking));
    ASSERT_TRUE(session.SendMessage(text));
    ASSERT_TRUE(session.SendMessage(Record(MSG_LOGIN_FAILED)));
    ASSERT_TRUE(session.SendMessage(Record(MSG_DISCONNECTED)));
    // Behind the end: never sent (or refused, when the writer was quicker).
    session.SendMessage(text);

    EXPECT_EQ(client.NextMessage(), "login succeeded\r\nID:00003\r\nVoicePass:00042\r\n\r\n");
    EXPECT_EQ(client.NextMessage(), "Member Size:00002\r\nID:00003\r\nName:c\r\nID:00001\r\nName:a\r\n\r\n");
    EXPECT_EQ(client.NextMessage(),
              "Speaking Member Size:00002\r\nID:00003\r\nName:c\r\nID:00001\r\nName:a\r\n\r\n");
    EXPECT_EQ(client.NextMessage(), "Message:hi\r\nID:00003\r\nName:c\r\n\r\n");
    EXPECT_EQ(client.NextMessage(), "login failed\r\n\r\n");
    EXPECT_EQ(client.NextMessage(), "disconnected\r\n\r\n");
    std::string rest;
    EXPECT_TRUE(client.WaitForClose(kWaitMs, &rest));
    EXPECT_EQ(rest, "");
    // The login reply leaves the session holding what it said.
    session.WaitForThreads();
    int id = 0, pass = 0;
    session.GetID(&id);
    session.GetVoicePass(&pass);
    EXPECT_EQ(id, 3);
    EXPECT_EQ(pass, 42);
}

TEST_F(SessionTest, AClientThatDoesNotReadLosesRecordsButNotItsEnding) {
    OutgoingMessage text;
    text.Resize(1);
    text.code = EV_MESSAGE;
    text.SetEntry(0, 1, "flood");
    text.SetText(std::string(990, 'f'));
    // The client reads nothing: sooner or later the writer blocks and the
    // buffer fills up. Filling must never block the caller.
    int accepted = 0;
    bool refused = false;
    for (int i = 0; i < 200000 && !refused; ++i) {
        if (session.SendMessage(text)) {
            ++accepted;
        } else {
            refused = true;
        }
    }
    ASSERT_TRUE(refused);
    EXPECT_GE(session.PendingMessages(), CSession::kBufferSlots - 1 - CSession::kEndingSlots);
    // The records that end a connection still fit.
    EXPECT_TRUE(session.SendMessage(Record(MSG_LOGOUT_SUCCEEDED)));
    // Closing releases the writer from any send it is blocked in; it goes
    // through what is queued up to the logout reply and ends.
    session.Close();
    session.WaitForThreads();
    EXPECT_FALSE(session.IsOccupied());
    std::printf("records accepted before the buffer was full: %d\n", accepted);
}

TEST(Session, ReopenedSessionStartsAfresh) {
    EventBuffer events(256);
    CSession session;
    RawClient first;
    auto connection = ConnectClient(first);
    ASSERT_TRUE(session.Open(connection, &events));
    session.SetID(5);
    session.SetName("first");
    ASSERT_TRUE(session.SendMessage(Record(MSG_DISCONNECTED)));
    EXPECT_EQ(first.NextMessage(), "disconnected\r\n\r\n");
    EXPECT_TRUE(first.WaitForClose());
    SessionEvent e;
    ASSERT_EQ(events.ReceiveWithin(e, kWaitMs), 1);
    EXPECT_EQ(e.code, EV_LOGOUT);

    RawClient second;
    connection = ConnectClient(second);
    ASSERT_TRUE(connection);
    // The slot frees itself as the writer's last act; wait until it has.
    for (int i = 0; i < 2000 && session.IsOccupied(); ++i) platform::SleepMs(5);
    ASSERT_TRUE(session.Open(connection, &events));
    int id = -1;
    EXPECT_FALSE(session.GetID(&id));
    EXPECT_EQ(id, 0);
    std::string name;
    EXPECT_FALSE(session.GetName(&name, 49));
    ASSERT_TRUE(second.Send("Message:again\r\n"));
    ASSERT_EQ(events.ReceiveWithin(e, kWaitMs), 1);
    EXPECT_EQ(e.Text(), "again");
    session.SendMessage(Record(MSG_DISCONNECTED));
    EXPECT_EQ(second.NextMessage(), "disconnected\r\n\r\n");
    session.WaitForThreads();
}

}  // namespace
