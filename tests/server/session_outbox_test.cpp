// The outbox on its own: what waits for a writer, what gives way, and when
// the direct path may send.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "protocol/limits.h"
#include "server/record_codes.h"
#include "server/server_process.h"
#include "server/session_outbox.h"

namespace {

using servertest::kWaitMs;
using Sent = SessionOutbox::Result;

WireRef Wire(int code) {
    OutgoingMessage m;
    m.code = code;
    return WireRef::Format(m);
}

WireRef Text(int n) {
    OutgoingMessage m;
    m.Resize(1);
    m.code = EV_MESSAGE;
    m.SetEntry(0, 1, "a");
    std::string text = "t";
    text += std::to_string(n);
    m.SetText(text);
    return WireRef::Format(m);
}

WireRef Voice(int n) {
    OutgoingMessage m;
    m.code = EV_VOICE_DATA;
    std::string payload = std::to_string(n);
    payload.resize(protocol::kVoiceFrameLength, '0');
    m.SetText(payload);
    return WireRef::Format(m);
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

// A writer thread that takes until the outbox is closed.
struct Writer {
    SessionOutbox* outbox = nullptr;
    std::atomic<int> takes{0};
    std::vector<WireRef> taken{};
    std::vector<std::size_t> offsets{};
    std::atomic<bool> ended{false};

    static std::uint32_t Run(void* argument) {
        auto* w = static_cast<Writer*>(argument);
        std::size_t offset = 0;
        while (w->outbox->TakeAll(w->taken, &offset)) {
            w->offsets.push_back(offset);
            ++w->takes;
        }
        w->ended = true;
        return 0;
    }
};

// Declared after the writer's thread: a test that stops early still closes
// the outbox, so that the writer ends and the thread can be joined.
struct ClosesOnExit {
    SessionOutbox& outbox;
    ~ClosesOnExit() { outbox.Close(); }
};

// Waits (bounded) until the writer sleeps in the outbox with nothing to take.
bool WaitUntilAsleep(SessionOutbox& outbox) {
    for (int waited = 0; waited < kWaitMs && !outbox.WriterAsleep(); waited += 1) platform::SleepMs(1);
    return outbox.WriterAsleep();
}

TEST(SessionOutbox, AClosedOutboxRefusesAndReleasesASleepingWriter) {
    SessionOutbox outbox;
    EXPECT_EQ(outbox.Push(Text(0)), Sent::kRefused);  // never opened
    outbox.Open();
    Writer writer;
    writer.outbox = &outbox;
    platform::Thread thread = platform::Thread::Start(&Writer::Run, &writer);
    ASSERT_TRUE(thread.IsValid());
    ClosesOnExit closes{outbox};
    // Closed only once the writer is asleep: Close itself must wake it.
    ASSERT_TRUE(WaitUntilAsleep(outbox));
    outbox.Close();
    for (int waited = 0; waited < kWaitMs && !writer.ended.load(); waited += 5) platform::SleepMs(5);
    EXPECT_TRUE(writer.ended.load());
    EXPECT_EQ(writer.takes.load(), 0);
    if (!writer.ended.load()) outbox.WakeWriter();  // lets the thread end after a failure
    thread.Join();
    EXPECT_EQ(outbox.Push(Text(1)), Sent::kRefused);
}

TEST(SessionOutbox, TheDirectPathIsGrantedToOneCallerAtATimeOnlyWhileTheWriterSleepsAndNeverForAnEnding) {
    SessionOutbox outbox;
    outbox.Open();
    // No writer has gone to sleep yet: it may be about to send.
    const bool early = outbox.ClaimDirectSend(Text(0));
    EXPECT_FALSE(early);
    if (early) outbox.FinishDirectSend(Text(0), Text(0)->bytes.size());
    Writer writer;
    writer.outbox = &outbox;
    platform::Thread thread = platform::Thread::Start(&Writer::Run, &writer);
    ASSERT_TRUE(thread.IsValid());
    ClosesOnExit closes{outbox};
    ASSERT_TRUE(WaitUntilAsleep(outbox));
    // The records that end a connection, and empty ones, go to the writer.
    EXPECT_FALSE(outbox.ClaimDirectSend(Wire(MSG_LOGOUT_SUCCEEDED)));
    EXPECT_FALSE(outbox.ClaimDirectSend(Wire(MSG_DISCONNECTED)));
    EXPECT_FALSE(outbox.ClaimDirectSend(Wire(12345)));
    // Sent whole: the writer sleeps on.
    ASSERT_TRUE(outbox.ClaimDirectSend(Text(1)));
    EXPECT_EQ(outbox.FinishDirectSend(Text(1), Text(1)->bytes.size()), Sent::kQueued);
    EXPECT_TRUE(outbox.WriterAsleep());
    EXPECT_EQ(outbox.TextBytes(), 0u);
    // While one send is granted no other is, and what is pushed meanwhile
    // waits behind the rest of the granted record without waking the writer.
    const WireRef cut = Text(2);
    ASSERT_TRUE(outbox.ClaimDirectSend(cut));
    EXPECT_FALSE(outbox.ClaimDirectSend(Text(3)));
    EXPECT_EQ(outbox.Push(Text(3)), Sent::kQueued);
    EXPECT_TRUE(outbox.WriterAsleep());
    EXPECT_EQ(writer.takes.load(), 0);
    EXPECT_EQ(outbox.FinishDirectSend(cut, 3), Sent::kQueued);
    for (int waited = 0; waited < kWaitMs && writer.takes.load() == 0; waited += 1) platform::SleepMs(1);
    ASSERT_TRUE(WaitUntilAsleep(outbox));
    outbox.Close();
    thread.Join();
    ASSERT_EQ(writer.taken.size(), 2u);
    EXPECT_EQ(writer.taken[0]->bytes, cut->bytes);
    EXPECT_EQ(writer.offsets[0], 3u);
    EXPECT_EQ(writer.taken[1]->bytes, Text(3)->bytes);
    // Closed: nothing is granted.
    EXPECT_FALSE(outbox.ClaimDirectSend(Text(4)));
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
