// The server's per-record and per-frame work: mixing rounds of 1 to 25
// speakers, and a relayed record's way to the wire (copy into a session's
// buffer, copy out in the writer, format).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "protocol/voice_codec.h"
#include "server/message_text.h"
#include "server/outgoing_message.h"
#include "server/record_codes.h"
#include "server/session.h"
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
// writer do it: into the session's buffer without waiting, out of it, and
// formatted into the writer's batch.
void BM_RecordThroughSessionBuffer(benchmark::State& state) {
    const OutgoingMessage record = state.range(0) ? VoiceRecord() : TextRecord();
    OutgoingBuffer buffer(CSession::kBufferSlots);
    OutgoingMessage taken;
    std::string text;
    text.reserve(4096);
    for (auto _ : state) {
        buffer.Send(record, 0);
        buffer.Receive(taken, 0);
        text.clear();
        AppendMessageText(text, taken);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordThroughSessionBuffer)->Arg(0)->Arg(1)->ArgName("voice");

}  // namespace
