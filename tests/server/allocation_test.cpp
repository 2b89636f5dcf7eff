// Steady state costs no allocation: records that travel through the buffers
// again and again, the text a writer builds from them, and the mixer. Counts
// every operator new of this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <memory>
#include <string>
#include <vector>

#include "common/thread_communication_buffer.h"
#include "protocol/voice_codec.h"
#include "server/message_text.h"
#include "server/outgoing_message.h"
#include "server/record_codes.h"
#include "server/session_event.h"
#include "server/session_outbox.h"
#include "server/wire_record.h"
#include "server/voice_mixer.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr char kPayload[] =
    "wwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww";
static_assert(sizeof(kPayload) == 129);

// The records master_thread sends most: relayed text, member lists, mixed
// voice; each copied into a slot and out again, then formatted.
void RelayRound(CThreadCommunicationBuffer<OutgoingMessage>& buffer, OutgoingMessage& announcement,
                OutgoingMessage& received, std::string& text, int round) {
    announcement.Clear();
    switch (round % 3) {
        case 0:
            announcement.Resize(1);
            announcement.code = EV_MESSAGE;
            announcement.SetEntry(0, round % 25 + 1, std::string_view("a member name of some length").substr(0, 10 + round % 15));
            announcement.SetText(std::string_view(
                "a text message of a length that varies from round to round and is long enough to leave the small "
                "string buffer behind").substr(0, 40 + round % 60));
            break;
        case 1:
            announcement.Resize(25);
            announcement.code = MSG_MEMBER_LIST;
            for (int i = 0; i < 25; ++i) announcement.SetEntry(i, i + 1, "member name that is long enough");
            break;
        default:
            announcement.Resize(0);
            announcement.code = EV_VOICE_DATA;
            announcement.SetText(std::string_view(kPayload, 128));
            break;
    }
    ASSERT_EQ(buffer.Send(announcement, 0), 1);
    ASSERT_EQ(buffer.Receive(received, 0), 1);
    text.clear();
    ASSERT_TRUE(AppendMessageText(text, received));
}

TEST(SteadyState, OutgoingRecordsAndTheirTextDoNotAllocate) {
    CThreadCommunicationBuffer<OutgoingMessage> buffer(256);
    OutgoingMessage announcement, received;
    std::string text;
    // Warm-up: every slot of the ring and every record has met every shape.
    for (int round = 0; round < 3 * 256 * 2; ++round) RelayRound(buffer, announcement, received, text, round);
    text.reserve(4096);
    long before = allocations.load();
    for (int round = 0; round < 3000; ++round) RelayRound(buffer, announcement, received, text, round);
    EXPECT_EQ(allocations.load() - before, 0);
}

TEST(SteadyState, SharedRecordsThroughOutboxesDoNotAllocate) {
    WireRecordPool pool;
    std::vector<std::unique_ptr<SessionOutbox>> outboxes;
    for (int i = 0; i < 5; ++i) {
        outboxes.push_back(std::make_unique<SessionOutbox>());
        outboxes.back()->Open();
    }
    OutgoingMessage announcement;
    std::vector<WireRef> taken;
    auto round = [&](int i) {
        announcement.Clear();
        announcement.Resize(1);
        announcement.code = i % 2 ? EV_VOICE_DATA : EV_MESSAGE;
        announcement.SetEntry(0, i % 25 + 1, "a member name");
        announcement.SetText(std::string_view(kPayload, 128).substr(0, 60 + i % 68));
        WireRef record = WireRef::Format(announcement, &pool);
        // Some rounds leave records waiting, as a writer that lags does.
        for (auto& outbox : outboxes) outbox->Push(record);
        if (i % 7 == 0) return;
        for (auto& outbox : outboxes) {
            taken.clear();
            outbox->TakeAll(taken);
        }
        taken.clear();
    };
    for (int i = 0; i < 4000; ++i) round(i);
    long before = allocations.load();
    for (int i = 0; i < 3000; ++i) round(i);
    EXPECT_EQ(allocations.load() - before, 0);
}

TEST(SteadyState, EventsDoNotAllocate) {
    CThreadCommunicationBuffer<SessionEvent> buffer(256);
    SessionEvent event, received;
    const std::string payload(128, 'x');
    auto round = [&](int i) {
        event.Clear();
        event.code = i % 2 ? EV_VOICE_DATA : EV_MESSAGE;
        event.SetText(std::string_view(payload).substr(0, 100 + i % 28));
        ASSERT_EQ(buffer.Send(event, 1), 1);
        ASSERT_EQ(buffer.Receive(received, 1), 1);
    };
    for (int i = 0; i < 256 * 4; ++i) round(i);
    long before = allocations.load();
    for (int i = 0; i < 3000; ++i) round(i);
    EXPECT_EQ(allocations.load() - before, 0);
}

TEST(SteadyState, MixingDoesNotAllocate) {
    CVoiceMixer mixer;
    for (int id = 1; id <= 5; ++id) mixer.AddMember("speaker", id);
    CVoiceMixer::Frame frame;
    frame.fill(100);
    CVoiceMixer::Frame mixed;
    long before = allocations.load();
    int taken = 0;
    for (int round = 0; round < 2000; ++round) {
        for (int id = 1; id <= 5; ++id) mixer.PutFrame(frame.data(), id);
        while (mixer.TakeMixedFrame(mixed.data())) {
            protocol::EncodeVoiceFrame(mixed.data());
            ++taken;
        }
    }
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_EQ(taken, 2000);
}

}  // namespace
