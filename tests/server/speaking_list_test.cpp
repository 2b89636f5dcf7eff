// Who is speaking, against the real program: a connection that asks with
// "Who are speaking?" is answered at once and then sent the whole list on
// every change; every other connection receives exactly what it always did.
#include <string>
#include <utility>
#include <vector>

#include "server/server_fixture.h"

namespace {

using servertest::MemberLoginText;
using servertest::MemberLogoutText;
using servertest::MessageText;
using servertest::RawClient;
using servertest::SpeakingListText;
using servertest::UniformPayload;
using servertest::VoiceDataText;

using Entries = std::vector<std::pair<int, std::string>>;

constexpr const char* kAsk = "Who are speaking?\r\n\r\n";
constexpr const char* kStart = "Voice Start\r\n\r\n";
constexpr const char* kStop = "Voice Stop\r\n\r\n";

class SpeakingListTest : public servertest::ServerFixture {
protected:
    // Sends the requests and then a chat line as a marker. The listener
    // receives the speaking list (when one is expected) ahead of the marker;
    // the others receive the marker next, so nothing else came before it.
    void SendThenMark(RawClient* sender, const std::string& requests, int id, const char* name,
                      std::initializer_list<RawClient*> others, RawClient* listener, const Entries* list,
                      const std::string& marker) {
        ASSERT_TRUE(sender->Send(requests + "Message:" + marker + "\r\n\r\n"));
        if (list) {
            EXPECT_EQ(listener->NextMessage(), SpeakingListText(*list)) << marker;
        }
        EXPECT_EQ(listener->NextMessage(), MessageText(marker, id, name)) << marker;
        for (RawClient* c : others) EXPECT_EQ(c->NextMessage(), MessageText(marker, id, name)) << marker;
    }
};

TEST_F(SpeakingListTest, AnsweredAtOnceThenSentOnStartStopAndLeaveInSlotOrder) {
    // Slot order differs from ID order: x leaves slot 0 and ID 1 free, a
    // guest takes the slot, and b gets ID 1 in slot 2.
    auto x = Join("x", 1);
    auto a = Join("a", 2, {x.get()});
    Leave(*x);
    EXPECT_EQ(a->NextMessage(), MemberLogoutText(1, "x"));
    auto guest = ConnectGuest();
    auto b = Join("b", 1, {a.get(), guest.get()});
    auto y = Join("y", 3, {a.get(), guest.get(), b.get()});

    ASSERT_TRUE(y->Send(kAsk));
    EXPECT_EQ(y->NextMessage(), SpeakingListText({}));

    const Entries onlyB = {{1, "b"}};
    const Entries bothInSlotOrder = {{2, "a"}, {1, "b"}};
    const Entries onlyA = {{2, "a"}};
    SendThenMark(b.get(), kStart, 1, "b", {a.get(), b.get(), guest.get()}, y.get(), &onlyB, "b starts");
    SendThenMark(a.get(), kStart, 2, "a", {a.get(), b.get(), guest.get()}, y.get(), &bothInSlotOrder, "a starts");
    // Starting again changes no set, so no list.
    SendThenMark(a.get(), kStart, 2, "a", {a.get(), b.get(), guest.get()}, y.get(), nullptr, "a again");
    // Asking again is answered at once, and changes no later traffic.
    SendThenMark(y.get(), kAsk, 3, "y", {a.get(), b.get(), guest.get()}, y.get(), &bothInSlotOrder, "asked again");
    SendThenMark(b.get(), kStop, 1, "b", {a.get(), b.get(), guest.get()}, y.get(), &onlyA, "b stops");
    // A stop from someone not speaking changes nothing.
    SendThenMark(b.get(), kStop, 1, "b", {a.get(), b.get(), guest.get()}, y.get(), nullptr, "b again");

    // A speaker who loses the connection: the departure, then the list.
    a->Close();
    EXPECT_EQ(y->NextMessage(), MemberLogoutText(2, "a"));
    EXPECT_EQ(y->NextMessage(), SpeakingListText({}));
    for (RawClient* c : {b.get(), guest.get()}) EXPECT_EQ(c->NextMessage(), MemberLogoutText(2, "a"));
    SendThenMark(b.get(), "", 1, "b", {b.get(), guest.get()}, y.get(), nullptr, "after a left");
}

TEST_F(SpeakingListTest, SpeakersWithoutAMemberIDAreNotListedAndGuestsMayAsk) {
    auto guest = ConnectGuest();
    ASSERT_TRUE(guest->Send(kAsk));
    EXPECT_EQ(guest->NextMessage(), SpeakingListText({}));
    // A connection that speaks before it logs in is in the mix as ID 0, but
    // it is no member: the set of listed speakers does not change.
    auto early = Connect();
    ASSERT_TRUE(early->Send(std::string(kStart) + "Message:early\r\n\r\n"));
    EXPECT_EQ(guest->NextMessage(), MessageText("early", 0, ""));
    auto a = Join("a", 1, {guest.get()});
    ASSERT_TRUE(a->Send(std::string(kStart) + kStart + "Message:a\r\n\r\n"));
    EXPECT_EQ(guest->NextMessage(), SpeakingListText({{1, "a"}}));
    EXPECT_EQ(guest->NextMessage(), MessageText("a", 1, "a"));
    // The early speaker's connection ends: no member left, nothing to send
    // about speakers (and no departure is announced for it).
    early->Close();
    ASSERT_TRUE(a->Send("Message:after\r\n\r\n"));
    EXPECT_EQ(guest->NextMessage(), MessageText("after", 1, "a"));
}

// Everything a connection that never asks receives, byte for byte, while
// another connection follows the speakers.
TEST_F(SpeakingListTest, AConnectionThatNeverAskedGetsExactlyTheOldBytes) {
    auto x = Connect();
    ASSERT_EQ(x->Login("x"), 1);
    auto y = Join("y", 2);
    ASSERT_TRUE(y->Send(kAsk));
    EXPECT_EQ(y->NextMessage(), SpeakingListText({}));

    // x speaks one frame alone (the mix is that frame), then stops.
    const std::string payload = UniformPayload(40);
    ASSERT_TRUE(x->Send(std::string(kStart) + "Voice Data:" + payload + "\r\n\r\n" + kStop + "Message:done\r\n\r\n"));
    EXPECT_EQ(y->NextMessage(), SpeakingListText({{1, "x"}}));
    EXPECT_EQ(y->NextMessage(), VoiceDataText(payload));
    EXPECT_EQ(y->NextMessage(), SpeakingListText({}));
    EXPECT_EQ(y->NextMessage(), MessageText("done", 1, "x"));
    // y speaks and leaves while speaking.
    ASSERT_TRUE(y->Send(std::string(kStart) + "Message:y speaks\r\n\r\n"));
    EXPECT_EQ(y->NextMessage(), SpeakingListText({{2, "y"}}));
    EXPECT_EQ(y->NextMessage(), MessageText("y speaks", 2, "y"));
    y->Close();

    // x's whole traffic since its login reply, read until y's departure
    // (so that x's own logout cannot overtake it), then to the end.
    std::string expected = MemberLoginText(1, "x") + MemberLoginText(2, "y") + VoiceDataText(payload) +
                           MessageText("done", 1, "x") + MessageText("y speaks", 2, "y") +
                           MemberLogoutText(2, "y");
    std::string received;
    auto readUpTo = [&](std::size_t size) {
        while (received.size() < size) {
            std::string message;
            if (!x->ReadMessage(&message)) break;
            received += message;
        }
    };
    readUpTo(expected.size());
    ASSERT_TRUE(x->Send("logout\r\n\r\n"));
    expected += "logout succeeded\r\n\r\n";
    readUpTo(expected.size());
    EXPECT_EQ(received, expected);
    std::string rest;
    EXPECT_TRUE(x->WaitForClose(servertest::kWaitMs, &rest));
    EXPECT_EQ(rest, "");
}

}  // namespace
