// The 25 session slots: the 26th connection is turned away, freed slots and
// IDs are taken again lowest first.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "server/server_core.h"
#include "server/server_fixture.h"

namespace {

using servertest::MemberListText;
using servertest::NumberedName;
using servertest::MemberLoginText;
using servertest::MemberLogoutText;
using servertest::MessageText;
using servertest::RawClient;

class CapacityTest : public servertest::ServerFixture {};

// The server-side ends of established connections to the port, as the
// system lists them: "timer:when" (timer 2 is keep-alive, when in hundredths
// of a second).
std::vector<std::string> ServerSideTimers(std::uint16_t port) {
    std::vector<std::string> timers;
    std::FILE* f = std::fopen("/proc/net/tcp", "r");
    if (!f) return timers;
    char line[512];
    char local[64], remote[64], state[8], queues[64], timer[64];
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, " %*[^:]: %63s %63s %7s %63s %63s", local, remote, state, queues, timer) != 5) continue;
        const std::string l = local;
        if (std::string(state) == "01" && l.size() > 5 && std::stoul(l.substr(l.size() - 4), nullptr, 16) == port) {
            timers.emplace_back(timer);
        }
    }
    std::fclose(f);
    return timers;
}

TEST_F(CapacityTest, EveryAcceptedConnectionProbesItsPeerWhenIdle) {
    auto guest = ConnectGuest();
    auto member = Join("member", 1);
    std::vector<std::string> timers = ServerSideTimers(server.Port());
    ASSERT_EQ(timers.size(), 2u);
    for (const std::string& t : timers) {
        // Keep-alive armed, the first probe due after the idle time, which
        // has only just begun (not after the shorter interval between
        // probes).
        ASSERT_EQ(t.substr(0, 3), "02:") << t;
        unsigned long when = std::stoul(t.substr(3), nullptr, 16);
        EXPECT_LE(when, static_cast<unsigned long>(kKeepAliveIdleSeconds) * 100) << t;
        EXPECT_GT(when, static_cast<unsigned long>(kKeepAliveIdleSeconds - 5) * 100) << t;
    }
    static_assert(kKeepAliveIdleSeconds - 5 > kKeepAliveIntervalSeconds);
}

// The server with a login limit short enough to wait for.
class LoginLimitTest : public CapacityTest {
protected:
    static constexpr int kLimitMs = 1500;
    void SetUp() override {
        ASSERT_TRUE(server.Start({"ORVANE_LOGIN_LIMIT_MS=" + std::to_string(kLimitMs)})) << server.Output();
    }
};

TEST_F(LoginLimitTest, TwentyFiveConnectionsThatNeverLogInAreClosedAndARealMemberGetsIn) {
    // 25 squatters take every slot; a list request is no login.
    std::vector<std::unique_ptr<RawClient>> squatters;
    for (int i = 0; i < 25; ++i) squatters.push_back(ConnectGuest());
    RawClient turnedAway;
    ASSERT_TRUE(turnedAway.Connect(server.Port()));
    EXPECT_EQ(turnedAway.NextMessage(), "login failed\r\n\r\n");
    // Each is closed once the limit has passed, without a word.
    for (auto& s : squatters) {
        std::string rest;
        EXPECT_TRUE(s->WaitForClose(servertest::kWaitMs, &rest));
        EXPECT_EQ(rest, "");
    }
    // Their slots come free as their sessions wind up.
    int id = -1;
    for (int attempt = 0; attempt < 200 && id < 0; ++attempt) {
        RawClient real;
        ASSERT_TRUE(real.Connect(server.Port()));
        id = real.Login("real");
        if (id < 0) platform::SleepMs(25);
    }
    EXPECT_EQ(id, 1);
}

TEST_F(LoginLimitTest, AMemberStaysAndAGuestLeavesUnannounced) {
    auto member = Join("member", 1);
    auto guest = ConnectGuest();
    EXPECT_TRUE(guest->WaitForClose());
    // Well past the limit the member is still served, and the guest's end
    // was not announced.
    ASSERT_TRUE(member->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(member->NextMessage(), MemberListText({{1, "member"}}));
    EXPECT_FALSE(member->IsClosedByServer());
}

TEST_F(CapacityTest, TwentyFiveMembersAndTheNextConnectionIsTurnedAway) {
    std::vector<std::unique_ptr<RawClient>> members;
    for (int i = 1; i <= 25; ++i) {
        members.push_back(Connect());
        EXPECT_EQ(members.back()->Login(NumberedName(i)), i);
    }
    // Every member saw every later login; the last announcement ends that.
    for (auto& m : members) EXPECT_TRUE(m->SkipUntil(MemberLoginText(25, "m25")));

    RawClient quiet, eager;
    ASSERT_TRUE(quiet.Connect(server.Port()));
    EXPECT_EQ(quiet.NextMessage(), "login failed\r\n\r\n");
    std::string rest;
    EXPECT_TRUE(quiet.WaitForClose(servertest::kWaitMs, &rest));
    EXPECT_EQ(rest, "");
    // One that sends its login at once gets the same and nothing else.
    ASSERT_TRUE(eager.Connect(server.Port()));
    eager.Send("login:eager\r\n\r\n");
    EXPECT_EQ(eager.NextMessage(), "login failed\r\n\r\n");
    EXPECT_TRUE(eager.WaitForClose(servertest::kWaitMs, &rest));
    EXPECT_EQ(rest, "");

    // The 25 go on as before.
    ASSERT_TRUE(members[24]->Send("Message:still 25\r\n\r\n"));
    for (auto& m : members) EXPECT_EQ(m->NextMessage(), MessageText("still 25", 25, "m25"));
    ASSERT_TRUE(members[0]->Send("Who are login?\r\n\r\n"));
    std::vector<std::pair<int, std::string>> all;
    for (int i = 1; i <= 25; ++i) all.emplace_back(i, NumberedName(i));
    EXPECT_EQ(members[0]->NextMessage(), MemberListText(all));

    // A slot that frees up is taken by the next connection.
    Leave(*members[10]);
    for (int i = 0; i < 25; ++i) {
        if (i != 10) {
            EXPECT_EQ(members[static_cast<std::size_t>(i)]->NextMessage(), MemberLogoutText(11, "m11"));
        }
    }
    auto again = Connect();
    EXPECT_EQ(again->Login("again"), 11);
}

TEST_F(CapacityTest, TheLowestFreeIdIsTakenWhoeverLeftLast) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    auto c = Join("c", 3, {a.get(), b.get()});
    auto d = Join("d", 4, {a.get(), b.get(), c.get()});
    // 2 leaves, then 4: the next login gets 2, the one after it 4.
    Leave(*b);
    ExpectAll({a.get(), c.get(), d.get()}, MemberLogoutText(2, "b"));
    Leave(*d);
    ExpectAll({a.get(), c.get()}, MemberLogoutText(4, "d"));
    auto e = Join("e", 2, {a.get(), c.get()});
    auto f = Join("f", 4, {a.get(), c.get(), e.get()});
    // e took slot 1 (b's), f slot 3 (d's).
    ASSERT_TRUE(a->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(a->NextMessage(), MemberListText({{1, "a"}, {2, "e"}, {3, "c"}, {4, "f"}}));
}

TEST_F(CapacityTest, TheLowestFreeSlotIsTakenWhicheverWasFreedLast) {
    auto a = Join("a", 1);
    auto b = Join("b", 2, {a.get()});
    auto c = Join("c", 3, {a.get(), b.get()});
    // Slot 2 is freed first, slot 0 last; a newcomer takes slot 0.
    Leave(*c);
    ExpectAll({a.get(), b.get()}, MemberLogoutText(3, "c"));
    Leave(*a);
    EXPECT_EQ(b->NextMessage(), MemberLogoutText(1, "a"));
    auto x = Connect();  // slot 0, no login yet
    auto y = Join("y", 1, {b.get(), x.get()});  // slot 2
    EXPECT_EQ(x->Login("x"), 3);
    ExpectAll({b.get(), x.get(), y.get()}, MemberLoginText(3, "x"));
    ASSERT_TRUE(b->Send("Who are login?\r\n\r\n"));
    EXPECT_EQ(b->NextMessage(), MemberListText({{3, "x"}, {2, "b"}, {1, "y"}}));
}

}  // namespace
