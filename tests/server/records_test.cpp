// The records that server threads hand each other: deep copies, absent
// versus empty strings, Resize and SetEntry rules, and storage reuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/thread_communication_buffer.h"
#include "server/outgoing_message.h"
#include "server/record_codes.h"
#include "server/session_event.h"
#include "server/wire_record.h"

namespace {

OutgoingMessage ListOf(int n) {
    OutgoingMessage m;
    m.Resize(n);
    m.code = MSG_MEMBER_LIST;
    for (int i = 0; i < n; ++i) m.SetEntry(i, i + 1, "member" + std::to_string(i));
    return m;
}

TEST(OutgoingMessage, CopyWithoutEntriesKeepsCodeVoicePassAndText) {
    OutgoingMessage source;
    source.code = MSG_LOGIN_SUCCEEDED;
    source.voicePass = 77;
    source.SetText("hello");
    OutgoingMessage copy = ListOf(3);
    copy.CopyFrom(source);
    EXPECT_EQ(copy.code, MSG_LOGIN_SUCCEEDED);
    EXPECT_EQ(copy.Count(), 0);
    EXPECT_EQ(copy.voicePass, 77);
    EXPECT_TRUE(copy.HasText());
    EXPECT_EQ(copy.Text(), "hello");
}

TEST(OutgoingMessage, CopiesAreDeepAndIndependent) {
    OutgoingMessage source = ListOf(2);
    source.SetText("text");
    OutgoingMessage copy;
    copy = source;
    source.SetEntry(0, 99, "changed");
    source.SetText("other");
    source.ReleaseAndClear();
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.EntryId(0), 1);
    EXPECT_EQ(copy.EntryName(0), "member0");
    EXPECT_EQ(copy.EntryName(1), "member1");
    EXPECT_EQ(copy.Text(), "text");
}

TEST(OutgoingMessage, SetEntryOutsideTheEntriesChangesNothing) {
    OutgoingMessage m = ListOf(2);
    m.SetEntry(2, 50, "past the end");
    m.SetEntry(-1, 50, "negative");
    m.SetEntry(2, 50);
    EXPECT_EQ(m.Count(), 2);
    EXPECT_EQ(m.EntryId(0), 1);
    EXPECT_EQ(m.EntryId(1), 2);
    EXPECT_EQ(m.EntryName(1), "member1");
}

TEST(OutgoingMessage, AbsentNamesStayAbsentThroughCopiesAndEmptyOnesStayEmpty) {
    OutgoingMessage m;
    m.Resize(3);
    m.SetEntry(0, 5);       // no name
    m.SetEntry(1, 6, "");  // an empty name
    m.SetEntry(2, 7, "x");
    OutgoingMessage copy;
    copy = m;
    EXPECT_FALSE(copy.EntryHasName(0));
    EXPECT_TRUE(copy.EntryHasName(1));
    EXPECT_EQ(copy.EntryName(1), "");
    EXPECT_TRUE(copy.EntryHasName(2));
    // An ID without a name leaves a name set earlier in place.
    copy.SetEntry(2, 8);
    EXPECT_EQ(copy.EntryId(2), 8);
    EXPECT_EQ(copy.EntryName(2), "x");
    EXPECT_FALSE(OutgoingMessage().HasText());
}

TEST(OutgoingMessage, ResizeLeavesExactlyNUnnamedEntriesAndNoText) {
    OutgoingMessage m = ListOf(4);
    m.voicePass = 9;
    m.SetText("gone");
    m.Resize(2);
    EXPECT_EQ(m.code, MSG_MEMBER_LIST);
    EXPECT_EQ(m.voicePass, 9);
    EXPECT_EQ(m.Count(), 2);
    EXPECT_FALSE(m.EntryHasName(0));
    EXPECT_FALSE(m.EntryHasName(1));
    EXPECT_FALSE(m.HasText());
    m.Resize(5);
    EXPECT_EQ(m.Count(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(m.EntryHasName(i)) << i;
    m.Resize(-3);
    EXPECT_EQ(m.Count(), 0);
}

TEST(OutgoingMessage, ClearEmptiesAndReleaseGivesStorageBack) {
    OutgoingMessage m = ListOf(3);
    m.voicePass = 4;
    m.SetText(std::string(500, 'v'));
    m.Clear();
    EXPECT_EQ(m.code, 0);
    EXPECT_EQ(m.voicePass, 0);
    EXPECT_EQ(m.Count(), 0);
    EXPECT_FALSE(m.HasText());
    m = ListOf(3);
    m.SetText(std::string(500, 'v'));
    m.ReleaseAndClear();
    EXPECT_EQ(m.Count(), 0);
    EXPECT_LT(m.ReservedBytes(), 100u);
}

TEST(OutgoingMessage, RepeatedReceivesIntoOneRecordDoNotGrowIt) {
    CThreadCommunicationBuffer<OutgoingMessage> buffer(256);
    OutgoingMessage received;
    std::size_t settled = 0;
    for (int round = 0; round < 2000; ++round) {
        OutgoingMessage m;
        int n = round % 26;
        m.Resize(n);
        m.code = round % 2 ? MSG_MEMBER_LIST : EV_MESSAGE;
        for (int i = 0; i < n; ++i) m.SetEntry(i, i + 1, std::string(static_cast<std::size_t>(10 + (round + i) % 40), 'n'));
        m.SetText(std::string(static_cast<std::size_t>(round % 990), 't'));
        ASSERT_EQ(buffer.Send(m, 0), 1);
        ASSERT_EQ(buffer.Receive(received, 0), 1);
        ASSERT_EQ(received.Count(), n);
        ASSERT_EQ(received.Text().size(), static_cast<std::size_t>(round % 990));
        // Once every size has been seen, the record holds on to what it has.
        if (round == 1000) settled = received.ReservedBytes();
        if (round > 1000) {
            ASSERT_EQ(received.ReservedBytes(), settled) << round;
        }
    }
}

TEST(SessionEvent, CopiesKeepAbsentAndEmptyApartAndReleaseFirst) {
    SessionEvent e;
    e.code = EV_LOGIN;
    e.connection = 3;
    e.SetName("");
    SessionEvent copy;
    copy.SetText("left over");
    copy = e;
    EXPECT_EQ(copy.code, EV_LOGIN);
    EXPECT_EQ(copy.connection, 3u);
    EXPECT_TRUE(copy.HasName());
    EXPECT_EQ(copy.Name(), "");
    EXPECT_FALSE(copy.HasText());
    EXPECT_EQ(copy.session, nullptr);

    SessionEvent cleared = copy;
    cleared.Clear();
    EXPECT_EQ(cleared.code, 0);
    EXPECT_FALSE(cleared.HasName());
    EXPECT_FALSE(cleared.HasText());
}

TEST(SessionEvent, RepeatedReceivesIntoOneRecordDoNotGrowIt) {
    CThreadCommunicationBuffer<SessionEvent> buffer(256);
    SessionEvent received;
    std::size_t settled = 0;
    for (int round = 0; round < 2000; ++round) {
        SessionEvent e;
        e.code = EV_VOICE_DATA;
        e.SetText(std::string(static_cast<std::size_t>(round % 999), 'p'));
        if (round % 3 == 0) e.SetName(std::string(static_cast<std::size_t>(round % 60), 'n'));
        ASSERT_EQ(buffer.Send(e, 1), 1);
        ASSERT_EQ(buffer.Receive(received, 1), 1);
        ASSERT_EQ(received.HasName(), round % 3 == 0);
        if (round == 1000) settled = received.ReservedBytes();
        if (round > 1000) {
            ASSERT_EQ(received.ReservedBytes(), settled) << round;
        }
    }
}

TEST(WireRecord, FormattedOnceWithTheWritersBytesAndSharedUntilTheLastReferenceGoes) {
    WireRecordPool pool;
    OutgoingMessage m;
    m.Resize(1);
    m.code = EV_MESSAGE;
    m.SetEntry(0, 12, "name");
    m.SetText("hello");
    WireRef first = WireRef::Format(m, &pool);
    EXPECT_EQ(first->bytes, "Message:hello\r\nID:00012\r\nName:name\r\n\r\n");
    EXPECT_EQ(first->code, EV_MESSAGE);
    EXPECT_FALSE(first->IsVoice());
    EXPECT_FALSE(first->EndsConnection());
    EXPECT_EQ(pool.InUse(), 1);
    {
        std::vector<WireRef> sessions(25, first);
        first.Reset();
        // Every session sees the very same bytes, not a copy.
        for (const WireRef& r : sessions) EXPECT_EQ(&r->bytes, &sessions[0]->bytes);
        EXPECT_EQ(pool.InUse(), 1);
    }
    EXPECT_EQ(pool.InUse(), 0);
    // The next record reuses the storage the last one grew.
    WireRef again = WireRef::Make(&pool);
    EXPECT_TRUE(again->bytes.empty());
    EXPECT_GE(again->bytes.capacity(), std::string("Message:hello\r\nID:00012\r\nName:name\r\n\r\n").size());
    OutgoingMessage ending;
    ending.code = MSG_DISCONNECTED;
    EXPECT_TRUE(WireRef::Format(ending)->EndsConnection());
    ending.code = 12345;
    EXPECT_EQ(WireRef::Format(ending)->bytes, "");
}

}  // namespace
