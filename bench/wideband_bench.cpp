// Server cost of wideband voice per 10 ms round: every speaker's packet
// decoded, one mix without its own voice encoded per speaker, one mix for
// the listeners encoded once, and every connection's line built. The
// "core_pct" counter is the share of one core that real time takes
// (CPU time per round against the round's 10 ms; the console prints it
// with an "s" after it, a unit the library adds to inverted rates).
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "protocol/opus_codec.h"
#include "protocol/voice_sequence.h"
#include "protocol/wideband_messages.h"
#include "server/wideband_mixer.h"

namespace {

constexpr int kN = protocol::kWidebandFrameSamples;
constexpr int kPackets = 100;

// A second of a voice-like signal per speaker (a vowel-like set of
// harmonics, swelling and fading), encoded as its client would.
std::vector<std::string> SpeakerPackets(int speaker) {
    protocol::COpusEncoder encoder;
    std::vector<std::string> packets;
    const double pitch = 110 + 13 * speaker;
    std::vector<float> pcm(kN);
    std::uint8_t packet[protocol::kOpusMaxEncodedBytes];
    for (int f = 0; f < kPackets; ++f) {
        for (int i = 0; i < kN; ++i) {
            double t = (f * kN + i) / 48000.0;
            double envelope = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t);
            double s = 0;
            for (int h = 1; h <= 12; ++h) s += std::sin(2 * std::numbers::pi * pitch * h * t) / h;
            pcm[static_cast<std::size_t>(i)] = static_cast<float>(0.1 * envelope * s);
        }
        int size = encoder.Encode(pcm.data(), packet);
        packets.emplace_back(reinterpret_cast<char*>(packet), static_cast<std::size_t>(size));
    }
    return packets;
}

void SetCorePercent(benchmark::State& state) {
    // Inverted rate of rounds x 1e-4 s: CPU seconds per 10 ms round, in %.
    state.counters["core_pct"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 1e-4,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// args: members, speaking.
void BM_WidebandRound(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    const int speaking = static_cast<int>(state.range(1));
    std::vector<std::vector<std::string>> packets;
    for (int s = 0; s < speaking; ++s) packets.push_back(SpeakerPackets(s));
    CWidebandMixer mixer;
    for (int s = 0; s < speaking; ++s) mixer.AddOpusSpeaker(s + 1);
    std::vector<std::string> lines(static_cast<std::size_t>(members));
    for (auto& l : lines) l.reserve(256);
    std::string shared;
    int round = 0;
    int sequence = 0;
    std::int64_t now = 0;
    double lineBytes = 0;
    for (auto _ : state) {
        for (int s = 0; s < speaking; ++s) {
            const std::string& p = packets[static_cast<std::size_t>(s)][static_cast<std::size_t>(round % kPackets)];
            mixer.PutPacket(s + 1, sequence, std::span(reinterpret_cast<const std::uint8_t*>(p.data()), p.size()), now);
        }
        const bool listeners = members > speaking;
        mixer.MixRound(now, listeners);
        // Speakers each get their own stream; listeners share one encoding.
        for (int m = 0; m < members; ++m) {
            auto& line = lines[static_cast<std::size_t>(m)];
            line.clear();
            if (m < speaking) protocol::AppendOpusData(line, sequence, mixer.OwnPacket(m + 1));
        }
        if (listeners) {
            shared.clear();
            protocol::AppendBase64(shared, mixer.ListenerPacket());
            for (int m = speaking; m < members; ++m)
                protocol::AppendOpusDataEncoded(lines[static_cast<std::size_t>(m)], sequence, shared);
        }
        benchmark::DoNotOptimize(lines.data());
        for (const auto& l : lines) lineBytes += static_cast<double>(l.size());
        ++round;
        sequence = protocol::NextSequence(sequence);
        now += 10000;
    }
    SetCorePercent(state);
    // What each member receives, line framing included, at 100 rounds a second.
    state.counters["kbit_per_member"] = lineBytes / round / members * 8 * 100 / 1000;
}
BENCHMARK(BM_WidebandRound)->Args({25, 3})->Args({25, 25})->Unit(benchmark::kMicrosecond);

void BM_OpusDecodePacket(benchmark::State& state) {
    auto packets = SpeakerPackets(0);
    protocol::COpusDecoder decoder;
    std::vector<float> pcm(kN);
    int i = 0;
    for (auto _ : state) {
        const std::string& p = packets[static_cast<std::size_t>(i++ % kPackets)];
        decoder.Decode(std::span(reinterpret_cast<const std::uint8_t*>(p.data()), p.size()), pcm.data());
        benchmark::DoNotOptimize(pcm.data());
    }
    SetCorePercent(state);
}
BENCHMARK(BM_OpusDecodePacket)->Unit(benchmark::kMicrosecond);

// One encoding at the mixer's effort.
void BM_OpusEncodeFrame(benchmark::State& state) {
    protocol::COpusEncoder encoder(CWidebandMixer::kComplexity);
    std::vector<float> pcm(kN);
    for (int i = 0; i < kN; ++i) pcm[static_cast<std::size_t>(i)] = static_cast<float>(0.2 * std::sin(i * 0.05));
    std::uint8_t packet[protocol::kOpusMaxEncodedBytes];
    for (auto _ : state) {
        benchmark::DoNotOptimize(encoder.Encode(pcm.data(), packet));
    }
    SetCorePercent(state);
}
BENCHMARK(BM_OpusEncodeFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
