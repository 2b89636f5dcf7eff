// The voice payload codec and the message builders, frames per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "protocol/messages.h"
#include "protocol/voice_codec.h"

namespace {

void FillRamp(std::uint8_t* frame) {
    for (int i = 0; i < protocol::kVoiceFrameLength; ++i) frame[i] = static_cast<std::uint8_t>(i * 2);
}

void BM_EncodeVoiceFrame(benchmark::State& state) {
    std::uint8_t frame[protocol::kVoiceFrameLength];
    std::uint8_t source[protocol::kVoiceFrameLength];
    FillRamp(source);
    for (auto _ : state) {
        std::memcpy(frame, source, sizeof frame);
        protocol::EncodeVoiceFrame(frame);
        benchmark::DoNotOptimize(frame);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeVoiceFrame);

void BM_DecodeVoiceFrame(benchmark::State& state) {
    std::uint8_t frame[protocol::kVoiceFrameLength];
    std::uint8_t source[protocol::kVoiceFrameLength];
    FillRamp(source);
    protocol::EncodeVoiceFrame(source);
    for (auto _ : state) {
        std::memcpy(frame, source, sizeof frame);
        protocol::DecodeVoiceFrame(frame);
        benchmark::DoNotOptimize(frame);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeVoiceFrame);

// One mixed frame as the server sends it: encode, then build the message.
void BM_EncodeAndAppendVoiceData(benchmark::State& state) {
    std::uint8_t frame[protocol::kVoiceFrameLength];
    std::uint8_t source[protocol::kVoiceFrameLength];
    FillRamp(source);
    std::string out;
    out.reserve(256);
    for (auto _ : state) {
        std::memcpy(frame, source, sizeof frame);
        protocol::EncodeVoiceFrame(frame);
        out.clear();
        protocol::AppendVoiceData(out, std::string_view(reinterpret_cast<char*>(frame), sizeof frame));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeAndAppendVoiceData);

// One relayed chat message as every recipient's writer formats it.
void BM_AppendTextMessage(benchmark::State& state) {
    const std::string text(100, 't');
    const std::string name = "member-name";
    std::string out;
    out.reserve(512);
    for (auto _ : state) {
        out.clear();
        protocol::AppendTextMessage(out, text, 17, name);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendTextMessage);

void BM_ClassifyClientLine(benchmark::State& state) {
    std::string voice = "Voice Data:" + std::string(128, 'w');
    const std::string_view lines[] = {"Message:hello there", voice, "Who are login?", "something else"};
    size_t i = 0;
    for (auto _ : state) {
        std::string_view value;
        auto kind = protocol::ClassifyClientLine(lines[i++ & 3], &value);
        benchmark::DoNotOptimize(kind);
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClassifyClientLine);

}  // namespace
