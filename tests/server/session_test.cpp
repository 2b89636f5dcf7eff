// A session on a real loopback connection: its guarded fields, what its
// reader posts, what its writer sends, and how it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>
#include <string>

#include "protocol/limits.h"
#include "protocol/messages.h"
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

WireRef Wire(const OutgoingMessage& m) { return WireRef::Format(m); }
WireRef Wire(int code) { return Wire(Record(code)); }

using Sent = CSession::SendResult;

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto connection = ConnectClient(client);
        ASSERT_TRUE(connection);
        ASSERT_TRUE(session.Open(connection, &events));
        EXPECT_FALSE(connection);  // the session owns it now
    }

    void TearDown() override {
        session.SendMessage(Wire(MSG_DISCONNECTED));
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

TEST_F(SessionTest, AClosedSessionRefusesRecordsAndIsEndedByNoAgeCheck) {
    EXPECT_TRUE(session.Close());
    EXPECT_FALSE(session.Close());
    EXPECT_FALSE(session.IsOccupied());
    EXPECT_FALSE(session.EndIfConnectedBefore(CSession::Clock::now() + std::chrono::hours(1)));
    EXPECT_EQ(session.SendMessage(Wire(MSG_DISCONNECTED)), Sent::kRefused);
    EXPECT_TRUE(client.WaitForClose());
}

TEST_F(SessionTest, TheAgeCheckEndsOnlyAnOldEnoughConnectionThatIsNotSpared) {
    const auto before = CSession::Clock::now() - std::chrono::hours(1);
    const auto after = CSession::Clock::now() + std::chrono::hours(1);
    const std::uint64_t current = session.ConnectionNumber();
    EXPECT_EQ(current, 1u);
    // Too young, or the very connection that is spared: kept.
    EXPECT_FALSE(session.EndIfConnectedBefore(before));
    EXPECT_FALSE(session.EndIfConnectedBefore(after, current));
    EXPECT_TRUE(session.IsOccupied());
    // Sparing an earlier connection of the slot does not spare this one.
    EXPECT_TRUE(session.EndIfConnectedBefore(after, current - 1));
    EXPECT_TRUE(client.WaitForClose());
    SessionEvent e = NextEvent();
    EXPECT_EQ(e.code, EV_LOGOUT);
    EXPECT_EQ(e.connection, current);
}

TEST_F(SessionTest, EndConnectionEndsItLikeALostOneAndKeepsTheSlotUntilTheLogoutReply) {
    session.EndConnection();
    EXPECT_TRUE(client.WaitForClose());
    EXPECT_EQ(NextEvent().code, EV_LOGOUT);
    EXPECT_TRUE(session.IsOccupied());
    EXPECT_EQ(session.SendMessage(Wire(MSG_LOGOUT_SUCCEEDED)), Sent::kQueued);
    session.WaitForThreads();
    EXPECT_FALSE(session.IsOccupied());
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

TEST_F(SessionTest, ReaderEndsAFieldAtAZeroByteAndCutsLinesAtTheLimit) {
    using namespace std::string_literals;
    const std::string longText(protocol::kMaxLineLength + 20, 'L');
    ASSERT_TRUE(client.Send("Message:ab\0cd\r\n"s + "login:N\0ame\r\n"s + "Message:\0\r\n"s +
                            "Message:" + longText + "\r\nMessage:next\r\n"));
    SessionEvent e = NextEvent();
    EXPECT_EQ(e.code, EV_MESSAGE);
    EXPECT_EQ(e.Text(), "ab");
    e = NextEvent();
    EXPECT_EQ(e.code, EV_LOGIN);
    EXPECT_EQ(e.Name(), "N");
    e = NextEvent();
    EXPECT_EQ(e.code, EV_MESSAGE);
    EXPECT_EQ(e.Text(), "");
    e = NextEvent();
    EXPECT_EQ(e.code, EV_MESSAGE);
    EXPECT_EQ(e.Text(), longText.substr(0, protocol::kMaxLineLength - protocol::kMessage.size()));
    e = NextEvent();
    EXPECT_EQ(e.Text(), "next");
}

TEST_F(SessionTest, ReaderStopsAfterLogout) {
    ASSERT_TRUE(client.Send("logout\r\n\r\nMessage:after\r\n\r\n"));
    SessionEvent e = NextEvent();
    EXPECT_EQ(e.code, EV_LOGOUT);
    EXPECT_EQ(e.session, &session);
    // The writer answers and closes the session.
    EXPECT_EQ(session.SendMessage(Wire(MSG_LOGOUT_SUCCEEDED)), Sent::kQueued);
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
    ASSERT_EQ(session.SendMessage(Wire(login)), Sent::kQueued);
    ASSERT_EQ(session.SendMessage(Wire(12345)), Sent::kQueued);  // no text: nothing sent
    ASSERT_EQ(session.SendMessage(Wire(list)), Sent::kQueued);
    ASSERT_EQ(session.SendMessage(Wire(speaking)), Sent::kQueued);
    ASSERT_EQ(session.SendMessage(Wire(text)), Sent::kQueued);
    ASSERT_EQ(session.SendMessage(Wire(MSG_LOGIN_FAILED)), Sent::kQueued);
    ASSERT_EQ(session.SendMessage(Wire(MSG_DISCONNECTED)), Sent::kQueued);
    // Behind the end: never sent (or refused, when the writer was quicker).
    session.SendMessage(Wire(text));

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
}

TEST_F(SessionTest, AClientThatDoesNotReadIsRefusedPastTheTextBoundButNotItsEnding) {
    OutgoingMessage text;
    text.Resize(1);
    text.code = EV_MESSAGE;
    text.SetEntry(0, 1, "flood");
    text.SetText(std::string(990, 'f'));
    const WireRef record = Wire(text);
    // The client reads nothing: sooner or later the writer blocks and text
    // piles up. Filling never blocks the caller, and nothing is refused
    // before the bound.
    int accepted = 0;
    Sent result = Sent::kQueued;
    for (int i = 0; i < 200000 && result == Sent::kQueued; ++i) {
        result = session.SendMessage(record);
        if (result == Sent::kQueued) ++accepted;
    }
    ASSERT_EQ(result, Sent::kOverflow);
    EXPECT_GE(static_cast<std::size_t>(accepted) * record->bytes.size(), SessionOutbox::kMaxTextBytes);
    // What waited was dropped, and only the records that end a connection
    // are taken from now on.
    EXPECT_EQ(session.Outbox().TextBytes(), 0u);
    EXPECT_EQ(session.SendMessage(record), Sent::kRefused);
    EXPECT_EQ(session.SendMessage(Wire(MSG_LOGOUT_SUCCEEDED)), Sent::kQueued);
    // Closing releases the writer from any send it is blocked in.
    session.Close();
    session.WaitForThreads();
    EXPECT_FALSE(session.IsOccupied());
    std::printf("records accepted before the text bound: %d\n", accepted);
}

TEST_F(SessionTest, RecordsSentAtOnceOrThroughTheWriterArriveWholeAndInOrder) {
    // Some records go out on the caller's thread while the writer sleeps,
    // others wake it; whatever each took, the client sees one ordered
    // stream of whole messages.
    constexpr int kRecords = 1200;
    std::vector<std::string> expected;
    for (int i = 0; i < kRecords; ++i) {
        OutgoingMessage m;
        m.Resize(1);
        m.code = EV_MESSAGE;
        m.SetEntry(0, 1, "n");
        std::string text = std::to_string(i);
        text.resize(static_cast<std::size_t>(100 + (i * 37) % 600), 'x');
        m.SetText(text);
        WireRef record = Wire(m);
        expected.push_back(record->bytes);
        ASSERT_EQ(session.SendMessage(record, nullptr, i % 7 != 0), Sent::kQueued) << i;
    }
    for (int i = 0; i < kRecords; ++i) ASSERT_EQ(client.NextMessage(), expected[static_cast<std::size_t>(i)]) << i;
}

TEST(Session, ReopenedSessionStartsAfresh) {
    EventBuffer events(256);
    CSession session;
    RawClient first;
    auto connection = ConnectClient(first);
    ASSERT_TRUE(session.Open(connection, &events));
    ASSERT_EQ(session.SendMessage(Wire(MSG_DISCONNECTED)), Sent::kQueued);
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
    ASSERT_TRUE(second.Send("Message:again\r\n"));
    ASSERT_EQ(events.ReceiveWithin(e, kWaitMs), 1);
    EXPECT_EQ(e.Text(), "again");
    session.SendMessage(Wire(MSG_DISCONNECTED));
    EXPECT_EQ(second.NextMessage(), "disconnected\r\n\r\n");
    session.WaitForThreads();
}

// The outbox on its own: what waits for a writer, and what gives way.
WireRef Text(int n) {
    OutgoingMessage m;
    m.Resize(1);
    m.code = EV_MESSAGE;
    m.SetEntry(0, 1, "a");
    std::string text = "t";
    text += std::to_string(n);
    m.SetText(text);
    return Wire(m);
}

WireRef Voice(int n) {
    OutgoingMessage m;
    m.code = EV_VOICE_DATA;
    std::string payload = std::to_string(n);
    payload.resize(protocol::kVoiceFrameLength, '0');
    m.SetText(payload);
    return Wire(m);
}

std::vector<std::string> TakeAll(SessionOutbox& outbox) {
    std::vector<WireRef> taken;
    std::vector<std::string> bytes;
    if (!outbox.TakeAll(taken)) return bytes;
    for (const WireRef& r : taken) bytes.push_back(r->bytes);
    return bytes;
}

TEST(SessionOutbox, VoiceGivesWayOldestFirstAndTextKeepsItsPlace) {
    SessionOutbox outbox;
    outbox.Open();
    const int frames = static_cast<int>(SessionOutbox::kMaxVoiceFrames) + 6;
    ASSERT_EQ(outbox.Push(Text(0)), Sent::kQueued);
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(outbox.Push(Voice(i)), Sent::kQueued);
        if (i == 3) {
            ASSERT_EQ(outbox.Push(Text(1)), Sent::kQueued);
        }
    }
    ASSERT_EQ(outbox.Push(Text(2)), Sent::kQueued);
    EXPECT_EQ(outbox.VoiceFrames(), SessionOutbox::kMaxVoiceFrames);
    EXPECT_EQ(outbox.DroppedVoiceFrames(), 6u);
    // The six oldest frames went (frame 3 among them, so text 1 now follows
    // text 0); every text is there, each where it was sent.
    std::vector<std::string> expected = {Text(0)->bytes, Text(1)->bytes};
    for (int i = 6; i < frames; ++i) expected.push_back(Voice(i)->bytes);
    expected.push_back(Text(2)->bytes);
    EXPECT_EQ(TakeAll(outbox), expected);
    EXPECT_EQ(outbox.TextBytes(), 0u);
}

TEST(SessionOutbox, TextPastTheByteBoundDropsEverythingAndTakesOnlyTheEnding) {
    SessionOutbox outbox;
    outbox.Open();
    const WireRef text = Text(7);
    std::size_t queued = 0;
    Sent result = Sent::kQueued;
    while ((result = outbox.Push(text)) == Sent::kQueued) queued += text->bytes.size();
    EXPECT_EQ(result, Sent::kOverflow);
    EXPECT_LE(queued, SessionOutbox::kMaxTextBytes);
    EXPECT_GT(queued + text->bytes.size(), SessionOutbox::kMaxTextBytes);
    EXPECT_EQ(outbox.TextBytes(), 0u);
    // Reported once; from now on only what ends the connection is taken.
    EXPECT_EQ(outbox.Push(text), Sent::kRefused);
    EXPECT_EQ(outbox.Push(Voice(1)), Sent::kRefused);
    EXPECT_EQ(outbox.Push(Wire(MSG_LOGOUT_SUCCEEDED)), Sent::kQueued);
    EXPECT_EQ(TakeAll(outbox), std::vector<std::string>{"logout succeeded\r\n\r\n"});
    // A new connection starts with a clean slate.
    outbox.Open();
    EXPECT_EQ(outbox.Push(text), Sent::kQueued);
}

TEST(SessionOutbox, AClosedOutboxRefusesAndReleasesAWaitingWriter) {
    SessionOutbox outbox;
    EXPECT_EQ(outbox.Push(Text(0)), Sent::kRefused);  // never opened
    outbox.Open();
    struct Writer {
        SessionOutbox* outbox;
        std::atomic<int> result{-1};
    } writer{&outbox};
    platform::Thread thread = platform::Thread::Start(
        [](void* p) -> std::uint32_t {
            auto* w = static_cast<Writer*>(p);
            std::vector<WireRef> taken;
            w->result = w->outbox->TakeAll(taken) ? static_cast<int>(taken.size()) : 0;
            return 0;
        },
        &writer);
    ASSERT_TRUE(thread.IsValid());
    outbox.Close();
    thread.Join();
    EXPECT_EQ(writer.result.load(), 0);
    EXPECT_EQ(outbox.Push(Text(1)), Sent::kRefused);
}

TEST(SessionOutbox, AWakeLeftToTheCallerReachesTheWriterWhenItIsGiven) {
    SessionOutbox outbox;
    outbox.Open();
    struct Writer {
        SessionOutbox* outbox;
        std::atomic<bool> waiting{false};
        std::vector<WireRef> taken{};
    } writer{&outbox, {false}, {}};
    platform::Thread thread = platform::Thread::Start(
        [](void* p) -> std::uint32_t {
            auto* w = static_cast<Writer*>(p);
            w->waiting = true;
            // A writer that had not gone to sleep yet may find the first
            // records before the last is pushed: it takes the rest after.
            while (w->taken.size() < 3 && w->outbox->TakeAll(w->taken)) {
            }
            return 0;
        },
        &writer);
    ASSERT_TRUE(thread.IsValid());
    while (!writer.waiting.load()) platform::SleepMs(1);
    // Either the writer is asleep, and the caller is told to wake it, or it
    // has not gone to sleep yet and will find the records itself.
    bool wake = false;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(outbox.Push(Text(i), &wake), Sent::kQueued);
    if (wake) outbox.WakeWriter();
    // A lost wake leaves the writer asleep: closing ends it, and the check
    // below fails instead of the test hanging.
    for (int waited = 0; waited < 10000 && thread.ExitCode() == platform::kStillActive; waited += 5) {
        platform::SleepMs(5);
    }
    outbox.Close();
    thread.Join();
    EXPECT_EQ(writer.taken.size(), 3u);
}

}  // namespace
