// Server cost of wideband voice per 10 ms round: every speaker's packet
// decoded, one mix without its own voice encoded per speaker, one mix for
// the listeners encoded once, and every connection's line built. The
// "core_pct" counter is the share of one core that real time takes
// (CPU time per round against the round's 10 ms; the console prints it
// with an "s" after it, a unit the library adds to inverted rates).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "protocol/opus_codec.h"
#include "protocol/voice_sequence.h"
#include "protocol/wideband_messages.h"
#include "server/conference.h"
#include "server/record_codes.h"
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

// ---- What the server encoders' effort buys ----
// The mix of two voice-like speakers (harmonics shaped by vowel formants,
// gliding pitch, swelling and fading, with bursts of hiss like fricatives)
// through one encode and decode at each complexity: the SNR of the voiced
// parts and the log-spectral distance from the original below and above
// 8 kHz, beside the CPU of one encode.

constexpr int kRate = protocol::kWidebandRate;

std::vector<float> VoiceLike(double seconds, double pitch0, unsigned seed, bool hiss) {
    constexpr double kFormants[4][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240}, {530, 1840, 2480}};
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 1);
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
    double phase = 0;
    double lastNoise = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double pitch = pitch0 * (1 + 0.08 * std::sin(2 * std::numbers::pi * 2.3 * t));
        phase += 2 * std::numbers::pi * pitch / kRate;
        const auto& f = kFormants[static_cast<int>(t * 3) % 4];
        double voiced = 0;
        for (int h = 1; h * pitch < 7000; ++h) {
            double gain = 0;
            for (int k = 0; k < 3; ++k) {
                const double d = (h * pitch - f[k]) / (80 + 0.05 * f[k]);
                gain += 1.0 / (1 + d * d) / (k + 1);
            }
            voiced += gain * std::sin(h * phase) / std::sqrt(h);
        }
        double envelope = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 1.7 * t);
        envelope *= envelope;
        const double n = noise(random);
        const double fricative = hiss && std::fmod(t, 0.6) > 0.45 ? 0.15 * (n - lastNoise) : 0;
        lastNoise = n;
        out[i] = static_cast<float>(0.12 * envelope * voiced + fricative);
    }
    return out;
}

// Through one encoder at the complexity and one decoder.
std::vector<float> ThroughCodec(const std::vector<float>& in, int complexity, double* kbit) {
    protocol::COpusEncoder encoder(complexity);
    protocol::COpusDecoder decoder;
    std::vector<float> out(in.size(), 0.0f);
    std::uint8_t packet[protocol::kOpusMaxEncodedBytes];
    double bytes = 0;
    for (std::size_t f = 0; f + kN <= in.size(); f += kN) {
        const int n = encoder.Encode(&in[f], packet);
        bytes += n;
        decoder.Decode(std::span<const std::uint8_t>(packet, static_cast<std::size_t>(n)), &out[f]);
    }
    *kbit = bytes * 8 / (static_cast<double>(in.size()) / kRate) / 1000;
    return out;
}

// The codec's delay, found as the best match within a frame.
int DelayOf(const std::vector<float>& a, const std::vector<float>& b) {
    int best = 0;
    double most = -1e300;
    for (int d = 0; d < kN; ++d) {
        double s = 0;
        for (std::size_t i = kRate / 2; i < static_cast<std::size_t>(kRate); ++i) s += a[i] * b[i + static_cast<std::size_t>(d)];
        if (s > most) {
            most = s;
            best = d;
        }
    }
    return best;
}

double SnrDb(const std::vector<float>& a, const std::vector<float>& b, int delay) {
    double signal = 0, error = 0;
    for (std::size_t i = kRate / 10; i + static_cast<std::size_t>(delay) < a.size(); ++i) {
        const double e = a[i] - b[i + static_cast<std::size_t>(delay)];
        signal += a[i] * a[i];
        error += e * e;
    }
    return 10 * std::log10(signal / error);
}

// Mean over the frames with sound of the RMS difference of the two power
// spectra in dB, over the bins from lowHz to highHz (512-point frames, Hann
// window).
double LogSpectralDistanceDb(const std::vector<float>& a, const std::vector<float>& b, int delay, double lowHz,
                             double highHz) {
    constexpr int kM = 512;
    std::vector<std::complex<double>> turn(kM);
    std::vector<double> window(kM);
    for (int i = 0; i < kM; ++i) {
        turn[static_cast<std::size_t>(i)] = std::polar(1.0, -2 * std::numbers::pi * i / kM);
        window[static_cast<std::size_t>(i)] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kM);
    }
    const int k0 = static_cast<int>(lowHz * kM / kRate), k1 = static_cast<int>(highHz * kM / kRate);
    double total = 0;
    int frames = 0;
    for (std::size_t s = kRate / 10; s + kM + static_cast<std::size_t>(delay) < a.size(); s += kM) {
        double energy = 0;
        for (int i = 0; i < kM; ++i) energy += a[s + static_cast<std::size_t>(i)] * a[s + static_cast<std::size_t>(i)];
        if (energy < 1e-4 * kM) continue;
        double sum = 0;
        for (int k = k0; k <= k1; ++k) {
            std::complex<double> x = 0, y = 0;
            for (int i = 0; i < kM; ++i) {
                const auto c = turn[static_cast<std::size_t>((k * i) % kM)] * window[static_cast<std::size_t>(i)];
                x += static_cast<double>(a[s + static_cast<std::size_t>(i)]) * c;
                y += static_cast<double>(b[s + static_cast<std::size_t>(i) + static_cast<std::size_t>(delay)]) * c;
            }
            const double d = 10 * std::log10((std::norm(x) + 1e-9) / (std::norm(y) + 1e-9));
            sum += d * d;
        }
        total += std::sqrt(sum / (k1 - k0 + 1));
        ++frames;
    }
    return frames > 0 ? total / frames : 0;
}

// arg: complexity.
void BM_ServerEncoderQuality(benchmark::State& state) {
    const int complexity = static_cast<int>(state.range(0));
    auto mix = [](bool hiss) {
        std::vector<float> a = VoiceLike(2, 120, 1, hiss), b = VoiceLike(2, 190, 2, hiss);
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
        return a;
    };
    const std::vector<float> voiced = mix(false), hissing = mix(true);
    double kbit = 0;
    const std::vector<float> voicedOut = ThroughCodec(voiced, complexity, &kbit);
    const std::vector<float> hissingOut = ThroughCodec(hissing, complexity, &kbit);
    const int delay = DelayOf(voiced, voicedOut);
    state.counters["snr_voiced_db"] = SnrDb(voiced, voicedOut, delay);
    state.counters["lsd_0k1_8k_db"] = LogSpectralDistanceDb(hissing, hissingOut, delay, 100, 8000);
    state.counters["lsd_8k_20k_db"] = LogSpectralDistanceDb(hissing, hissingOut, delay, 8000, 20000);
    state.counters["kbit"] = kbit;

    protocol::COpusEncoder encoder(complexity);
    std::uint8_t packet[protocol::kOpusMaxEncodedBytes];
    std::size_t f = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(encoder.Encode(&hissing[f], packet));
        f = f + 2 * kN <= hissing.size() ? f + kN : 0;
    }
    SetCorePercent(state);
}
BENCHMARK(BM_ServerEncoderQuality)->DenseRange(0, 10)->Unit(benchmark::kMicrosecond);

// ---- The conference's whole round ----
// What master_thread's conference does per 10 ms with 25 wideband members of
// whom 3 speak: the speakers' events, the mix, every member's line, and
// whatever goes to today's mix. arg: 1 when one more connection, which never
// asked for wideband, hears today's mix; 0 when none does (the wideband
// voices then skip it).
class CountingSink : public ConferenceSink {
public:
    explicit CountingSink(int slots, int connected) : connected_(connected) { (void)slots; }
    Sent Send(int slot, const WireRef& record) override {
        if (slot >= connected_) return Sent::kRefused;
        bytes += static_cast<double>(record->bytes.size());
        return Sent::kQueued;
    }
    void End(int, std::string_view) override {}
    void EndIfConnectedBefore(int, Clock::time_point, std::uint64_t) override {}
    bool HasConnection(int slot) override { return slot < connected_; }
    double bytes = 0;

private:
    int connected_;
};

void BM_ConferenceWidebandRound(benchmark::State& state) {
    constexpr int kMembers = 25, kSpeaking = 3, kSlots = 32;
    const bool legacy = state.range(0) != 0;
    const int connected = kMembers + (legacy ? 1 : 0);
    CountingSink sink(kSlots, connected);
    Conference conference(kSlots, sink, std::chrono::milliseconds(0));
    std::int64_t now = 1'000'000;
    auto event = [](int code) {
        SessionEvent e;
        e.code = code;
        e.connection = 1;
        return e;
    };
    for (int slot = 0; slot < connected; ++slot) {
        SessionEvent login = event(EV_LOGIN);
        std::string name = "m";
        name += std::to_string(slot);
        login.SetName(name);
        conference.Handle(slot, login, now);
        if (slot < kMembers) conference.Handle(slot, event(EV_VOICE_CODEC), now);
        if (slot < kSpeaking) conference.Handle(slot, event(EV_VOICE_START), now);
    }
    std::vector<std::vector<std::string>> packets;
    for (int s = 0; s < kSpeaking; ++s) packets.push_back(SpeakerPackets(s));
    int round = 0;
    for (auto _ : state) {
        for (int s = 0; s < kSpeaking; ++s) {
            SessionEvent e = event(EV_OPUS_DATA);
            e.sequence = round % 100000;
            e.SetText(packets[static_cast<std::size_t>(s)][static_cast<std::size_t>(round % kPackets)]);
            conference.Handle(s, e, now);
        }
        conference.RunVoiceRounds(now);
        ++round;
        now += 10000;
    }
    SetCorePercent(state);
    state.counters["bytes_per_round"] = sink.bytes / round;
}
BENCHMARK(BM_ConferenceWidebandRound)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
