// The server's per-record and per-frame work: mixing rounds of 1 to 25
// speakers, and a relayed record's way to the wire (formatted once, shared
// through every session's outbox).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/voice_codec.h"
#include "server/message_text.h"
#include "server/outgoing_message.h"
#include "server/record_codes.h"
#include "server/session_outbox.h"
#include "server/wire_record.h"
#include "server/voice_mixer.h"

namespace {

// One round: every speaker's frame goes in, one mixed frame comes out.
void BM_TakeMixedFrame(benchmark::State& state) {
    const int speakers = static_cast<int>(state.range(0));
    CVoiceMixer mixer;
    for (int id = 1; id <= speakers; ++id) mixer.AddMember("speaker", id);
    CVoiceMixer::Frame frame;
    for (int j = 0; j < protocol::kVoiceFrameLength; ++j) frame[static_cast<size_t>(j)] = static_cast<std::uint8_t>(j * 2);
    CVoiceMixer::Frame mixed{};
    for (auto _ : state) {
        for (int id = 1; id <= speakers; ++id) mixer.PutFrame(frame.data(), id);
        if (!mixer.TakeMixedFrame(mixed.data())) {
            state.SkipWithError("no mixed frame");
            return;
        }
        benchmark::DoNotOptimize(mixed.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frames_in_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * speakers, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TakeMixedFrame)->Arg(1)->Arg(2)->Arg(8)->Arg(25);

// The mixing alone, with the frames already queued.
void BM_TakeMixedFrameOnly(benchmark::State& state) {
    const int speakers = static_cast<int>(state.range(0));
    CVoiceMixer mixer;
    for (int id = 1; id <= speakers; ++id) mixer.AddMember("speaker", id);
    CVoiceMixer::Frame frame{};
    CVoiceMixer::Frame mixed{};
    constexpr int kQueued = CVoiceMixer::kQueueSlots - 1;
    for (auto _ : state) {
        state.PauseTiming();
        for (int k = 0; k < kQueued; ++k) {
            for (int id = 1; id <= speakers; ++id) mixer.PutFrame(frame.data(), id);
        }
        state.ResumeTiming();
        for (int k = 0; k < kQueued; ++k) mixer.TakeMixedFrame(mixed.data());
        benchmark::DoNotOptimize(mixed.data());
    }
    state.SetItemsProcessed(state.iterations() * kQueued);
}
BENCHMARK(BM_TakeMixedFrameOnly)->Arg(1)->Arg(2)->Arg(8)->Arg(25);

OutgoingMessage TextRecord() {
    OutgoingMessage m;
    m.code = EV_MESSAGE;
    m.Resize(1);
    m.SetEntry(0, 17, "member-name");
    m.SetText(std::string(100, 't'));
    return m;
}

OutgoingMessage VoiceRecord() {
    OutgoingMessage m;
    m.code = EV_VOICE_DATA;
    m.SetText(std::string(protocol::kVoiceFrameLength, 'w'));
    return m;
}

// A record copied as a buffer slot and a writer's record take it: storage
// kept from the last copy is reused.
void BM_RecordCopy(benchmark::State& state) {
    const OutgoingMessage source = state.range(0) ? VoiceRecord() : TextRecord();
    OutgoingMessage slot;
    OutgoingMessage taken;
    for (auto _ : state) {
        slot = source;
        taken = slot;
        benchmark::DoNotOptimize(&taken);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordCopy)->Arg(0)->Arg(1)->ArgName("voice");

void BM_RecordFormat(benchmark::State& state) {
    const OutgoingMessage record = state.range(0) ? VoiceRecord() : TextRecord();
    std::string text;
    text.reserve(4096);
    for (auto _ : state) {
        text.clear();
        AppendMessageText(text, record);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordFormat)->Arg(0)->Arg(1)->ArgName("voice");

// One recipient's share of a relayed message, as master_thread and the
// writer do it: a reference to the record formatted once goes into the
// session's outbox without waiting and is taken out by the writer.
void BM_RecordThroughSessionOutbox(benchmark::State& state) {
    WireRecordPool pool;
    const WireRef record = WireRef::Format(state.range(0) ? VoiceRecord() : TextRecord(), &pool);
    SessionOutbox outbox;
    outbox.Open();
    std::vector<WireRef> taken;
    for (auto _ : state) {
        outbox.Push(record);
        taken.clear();
        outbox.TakeAll(taken);
        benchmark::DoNotOptimize(taken.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordThroughSessionOutbox)->Arg(0)->Arg(1)->ArgName("voice");

// master_thread's share of a relayed message: formatted once into a pooled
// record, then handed to 25 outboxes.
void BM_RelayToAll(benchmark::State& state) {
    WireRecordPool pool;
    const OutgoingMessage message = TextRecord();
    std::vector<std::unique_ptr<SessionOutbox>> outboxes;
    for (int i = 0; i < 25; ++i) {
        outboxes.push_back(std::make_unique<SessionOutbox>());
        outboxes.back()->Open();
    }
    std::vector<WireRef> taken;
    for (auto _ : state) {
        WireRef record = WireRef::Format(message, &pool);
        for (auto& outbox : outboxes) outbox->Push(record);
        record.Reset();
        for (auto& outbox : outboxes) {
            taken.clear();
            outbox->TakeAll(taken);
        }
    }
    state.SetItemsProcessed(state.iterations() * 25);
}
BENCHMARK(BM_RelayToAll);

}  // namespace
