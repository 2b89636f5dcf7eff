// Behaviour that guards against faults a plain reading of the protocol
// invites: duplicate IDs, phantom members, announcements about people who
// never arrived or who left under another ID, and clients that stop reading.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "server/server_fixture.h"

namespace {

using servertest::kWaitMs;
using servertest::MemberListText;
using servertest::MemberLoginText;
using servertest::MemberLogoutText;
using servertest::MessageText;
using servertest::RawClient;
using servertest::UniformPayload;
using servertest::VoiceDataText;

class MendsTest : public servertest::ServerFixture {};

// The ID in the client's "login succeeded" reply, or -1. Announcements of
// another member's login may come first.
int IdOfLoginReply(RawClient& client) {
    const std::string head = "login succeeded\r\nID:";
    std::string message;
    while (client.ReadMessage(&message)) {
        if (message.rfind(head, 0) == 0) return std::atoi(message.c_str() + head.size());
    }
    return -1;
}

TEST_F(MendsTest, TheServerTakesConnectionsAsSoonAsItSaysItStarted) {
    // SetUp returned right after the started lines: no retry, no pause.
    RawClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    EXPECT_EQ(c.Login("first"), 1);
}

TEST_F(MendsTest, LoginsHandledBackToBackGetDifferentIds) {
    for (int round = 0; round < 10; ++round) {
        auto x = Connect();
        auto y = Connect();
        // Both sessions exist before either login is sent, so that the two
        // login events reach the master thread one right after the other.
        ASSERT_TRUE(x->Send("Who are login?\r\n\r\n"));
        ASSERT_TRUE(y->Send("Who are login?\r\n\r\n"));
        ASSERT_EQ(x->NextMessage(), "Member Size:00000\r\n\r\n");
        ASSERT_EQ(y->NextMessage(), "Member Size:00000\r\n\r\n");
        ASSERT_TRUE(x->Send("login:x\r\n\r\n"));
        ASSERT_TRUE(y->Send("login:y\r\n\r\n"));
        int idX = IdOfLoginReply(*x);
        int idY = IdOfLoginReply(*y);
        EXPECT_TRUE((idX == 1 && idY == 2) || (idX == 2 && idY == 1)) << idX << " " << idY << " in round " << round;
        Leave(*x);
        Leave(*y);
    }
}

TEST_F(MendsTest, ANewMembersOwnListShowsItAtOnce) {
    auto a = Join("a", 1);
    auto b = Connect();
    ASSERT_TRUE(b->Send("login:b\r\n\r\nWho are login?\r\n\r\n"));
    EXPECT_EQ(b->NextMessage(), servertest::LoginSucceededText(2, 207));
    EXPECT_EQ(b->NextMessage(), MemberLoginText(2, "b"));
    EXPECT_EQ(b->NextMessage(), MemberListText({{1, "a"}, {2, "b"}}));
}

TEST_F(MendsTest, ASecondLoginOnOneConnectionIsIgnored) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    ASSERT_TRUE(b->Send("login:b again\r\n\r\nlogin:\r\n\r\nMessage:marker\r\n\r\n"));
    // No reply and no announcement: the marker comes next, under the old name.
    ExpectAll({a.get(), b.get()}, MessageText("marker", 2, "b"));
    ASSERT_TRUE(a->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), MemberListText({{1, "a"}, {2, "b"}}));
}

TEST_F(MendsTest, SomeoneWhoNeverLoggedInLeavesWithoutAnnouncement) {
    auto a = Join("a", 1);
    auto guest = Connect();
    ASSERT_TRUE(guest->Send("logout\r\n\r\n"));
    EXPECT_EQ(guest->NextMessage(), "logout succeeded\r\n\r\n");
    EXPECT_TRUE(guest->WaitForClose());
    // The guest's logout was handled before its reply left; had it been
    // announced, a would get that before its own message.
    ASSERT_TRUE(a->Send("Message:marker\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), MessageText("marker", 1, "a"));

    // The same when the connection just ends.
    auto other = Connect();
    ASSERT_TRUE(other->Send("Message:from nobody\r\n\r\n"));
    ExpectAll({a.get(), other.get()}, MessageText("from nobody", 0, ""));
    other->Close();
    platform::SleepMs(300);
    ASSERT_TRUE(a->Send("Message:marker\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), MessageText("marker", 1, "a"));
}

TEST_F(MendsTest, AClientThatLogsInAndLeavesAtOnceIsAnnouncedBothWays) {
    auto a = Join("a", 1);
    for (int round = 0; round < 5; ++round) {
        RawClient quick;
        ASSERT_TRUE(quick.Connect(server.Port()));
        ASSERT_TRUE(quick.Send("login:quick\r\n\r\n"));
        quick.Close();
        // The departure names the ID the arrival gave.
        EXPECT_EQ(a->NextMessage(), MemberLoginText(2, "quick")) << round;
        EXPECT_EQ(a->NextMessage(), MemberLogoutText(2, "quick")) << round;
    }
    ASSERT_TRUE(a->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), MemberListText({{1, "a"}}));
}

TEST_F(MendsTest, AMemberIsGoneFromListsOnceItsLogoutIsAnnounced) {
    auto a = Join("a", 1);
    for (int round = 0; round < 5; ++round) {
        auto b = Join("b", 2, {a.get()});
        b->Close();
        EXPECT_EQ(a->NextMessage(), MemberLogoutText(2, "b"));
        ASSERT_TRUE(a->Send("Who are login?\r\n\r\n"));
        EXPECT_EQ(a->NextMessage(), MemberListText({{1, "a"}})) << round;
        // Its ID is free at once.
        auto c = Connect();
        EXPECT_EQ(c->Login("c"), 2);
        EXPECT_EQ(a->NextMessage(), MemberLoginText(2, "c"));
        c->Close();
        EXPECT_EQ(a->NextMessage(), MemberLogoutText(2, "c"));
    }
}

TEST_F(MendsTest, AClientHopelesslyBehindIsEndedAndItsSlotComesFree) {
    auto stalled = Join("stalled", 1);
    auto active = Join("active", 2, {stalled.get()});
    // The stalled client reads nothing: some megabytes fill the socket
    // buffers between it and the server, then its text waits in the server
    // up to the bound, past which its connection is ended. Nothing is lost
    // for the active client meanwhile, and the departure is announced once.
    const std::string post = "Message:" + std::string(990, 's') + "\r\n\r\n";
    const std::string relay = MessageText(std::string(990, 's'), 2, "active");
    const std::string departure = MemberLogoutText(1, "stalled");
    int relays = 0;
    int departures = 0;
    for (int round = 0; round < 1000 && departures == 0; ++round) {
        std::string burst;
        for (int i = 0; i < 20; ++i) burst += post;
        ASSERT_TRUE(active->Send(burst));
        for (int i = 0; i < 20; ++i) {
            std::string m = active->NextMessage();
            if (m == departure) {
                ++departures;
                --i;
                continue;
            }
            ASSERT_EQ(m, relay) << round;
            ++relays;
        }
    }
    ASSERT_EQ(departures, 1) << "after " << relays << " relays";
    std::printf("the stalled client was ended after %d relays of 1 KB\n", relays);
    // It finds its connection ended after a run of the relays it missed
    // (the last one may be cut where the connection ended, as for any lost
    // connection).
    std::string rest;
    EXPECT_TRUE(stalled->WaitForClose(kWaitMs, &rest));
    for (std::size_t at = 0; at < rest.size(); at += relay.size()) {
        ASSERT_EQ(rest.substr(at, relay.size()), relay.substr(0, rest.size() - at)) << at;
    }
    // Its ID and slot are free: 23 more connections and the next login fit.
    ASSERT_TRUE(active->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(active->NextMessage(), MemberListText({{2, "active"}}));
    std::vector<std::unique_ptr<RawClient>> others;
    for (int i = 0; i < 23; ++i) {
        others.push_back(Connect());
        ASSERT_TRUE(others.back()->Send("Who are login?\r\n\r\n"));
        ASSERT_EQ(others.back()->NextMessage(), MemberListText({{2, "active"}}));
    }
    RawClient last;
    ASSERT_TRUE(last.Connect(server.Port()));
    EXPECT_EQ(last.Login("last"), 1);
    // One line on standard error says whom and why.
    server.PressEnter();
    EXPECT_EQ(server.WaitForExit(), 0);
    const std::string error = server.ErrorOutput();
    EXPECT_NE(error.find("member 00001 \"stalled\""), std::string::npos) << error;
    EXPECT_NE(error.find("bytes of text were waiting"), std::string::npos) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

// The server with a login limit short enough that members outgrow it fast.
class ShortLoginLimitTest : public MendsTest {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start({"ORVANE_LOGIN_LIMIT_MS=200"})) << server.Output(); }
};

// Sends a voice frame every 16 ms until told to stop.
struct Speaker {
    RawClient* client = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};

    static std::uint32_t Run(void* argument) {
        auto* s = static_cast<Speaker*>(argument);
        const std::string frame = "Voice Data:" + UniformPayload(100) + "\r\n\r\n";
        while (!s->stop.load() && s->client->Send(frame)) {
            ++s->sent;
            platform::SleepMs(16);
        }
        return 0;
    }
};

TEST_F(ShortLoginLimitTest, AMemberOlderThanTheLoginLimitGetsItsLogoutReplyWhileOthersSpeak) {
    auto speaker = Join("speaker", 1);
    ASSERT_TRUE(speaker->Send("Voice Start\r\n\r\n"));
    Speaker talk;
    talk.client = speaker.get();
    platform::Thread thread = platform::Thread::Start(&Speaker::Run, &talk);
    ASSERT_TRUE(thread.IsValid());
    const std::string frame = VoiceDataText(UniformPayload(100));
    for (int round = 0; round < 30 && !HasFailure(); ++round) {
        // Mixed frames reach the member from its first moment on.
        auto member = Connect();
        ASSERT_TRUE(member->Send("login:member\r\n\r\n"));
        ASSERT_TRUE(member->SkipUntil(servertest::LoginSucceededText(2, 207))) << round;
        // A guest that came with the member is closed once the limit has
        // passed: from then on the member is older than the limit too.
        auto guest = Connect();
        EXPECT_TRUE(guest->WaitForClose());
        // The logout comes about when the next check is due (they are
        // 100 ms apart), a little earlier or later each round.
        platform::SleepMs(94 + (round % 10) * 3);
        ASSERT_TRUE(member->Send("logout\r\n\r\n"));
        // Mixed frames, then the reply, then the end; nothing cut short.
        std::string message;
        std::string last;
        while (member->ReadMessage(&message)) {
            if (message != frame) last = message;
        }
        EXPECT_TRUE(member->IsClosedByServer()) << round;
        EXPECT_EQ(last, "logout succeeded\r\n\r\n") << "round " << round;
        EXPECT_EQ(member->Pending(), "") << round;
    }
    talk.stop = true;
    thread.Join();
    EXPECT_GT(talk.sent.load(), 0);
}

}  // namespace
