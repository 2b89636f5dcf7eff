// The 25 session slots: the 26th connection is turned away, freed slots and
// IDs are taken again lowest first.
#include <memory>
#include <string>
#include <vector>

#include "server/server_fixture.h"

namespace {

using servertest::MemberListText;
using servertest::NumberedName;
using servertest::MemberLoginText;
using servertest::MemberLogoutText;
using servertest::MessageText;
using servertest::RawClient;

class CapacityTest : public servertest::ServerFixture {};

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
