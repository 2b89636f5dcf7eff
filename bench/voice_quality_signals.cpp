#include "bench/voice_quality_signals.h"

#include <fftw3.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <iterator>
#include <random>

namespace voicequality {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Formant {
    double hz;
    double bandwidth;
    double gain;
};

// F1 to F3 of a few vowels; F4 and F5 are the same for all.
constexpr double kVowels[][3] = {
    {730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240}, {530, 1840, 2480}, {570, 840, 2410},
};
constexpr int kVowelCount = static_cast<int>(std::size(kVowels));

std::vector<Formant> VowelFormants(int vowel) {
    const double* f = kVowels[vowel % kVowelCount];
    return {{f[0], 90, 1.0}, {f[1], 110, 0.6}, {f[2], 160, 0.3}, {3500, 250, 0.15}, {4500, 300, 0.1}};
}

// The vocal tract's gain at a frequency: resonances over a small floor, so
// that nothing between them is lost entirely.
double TractGain(const std::vector<Formant>& formants, double hz) {
    double g = 0.02;
    for (const Formant& f : formants) {
        const double x = (hz - f.hz) / (f.bandwidth / 2);
        g += f.gain / std::sqrt(1 + x * x);
    }
    return g;
}

double Rms(const float* x, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += double(x[i]) * x[i];
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

// A raised-cosine rise over rampSamples at both ends.
double Ramp(std::size_t i, std::size_t n, std::size_t rampSamples) {
    const std::size_t d = std::min(i, n - 1 - i);
    if (d >= rampSamples) return 1.0;
    return 0.5 - 0.5 * std::cos(kPi * static_cast<double>(d) / static_cast<double>(rampSamples));
}

// White noise with its spectrum kept between lowHz and highHz, peaking in
// the upper half as a hiss does; unit RMS.
Signal BandNoise(std::size_t n, int rate, double lowHz, double highHz, std::mt19937& rng) {
    std::normal_distribution<double> normal(0, 1);
    std::vector<double> x(n);
    for (double& v : x) v = normal(rng);
    std::vector<std::complex<double>> spectrum(n / 2 + 1);
    auto* bins = reinterpret_cast<fftw_complex*>(spectrum.data());
    fftw_plan forward = fftw_plan_dft_r2c_1d(static_cast<int>(n), x.data(), bins, FFTW_ESTIMATE);
    fftw_execute(forward);
    fftw_destroy_plan(forward);
    const double centre = lowHz + 0.6 * (highHz - lowHz);
    for (std::size_t k = 0; k < spectrum.size(); ++k) {
        const double hz = static_cast<double>(k) * rate / static_cast<double>(n);
        if (hz < lowHz || hz > highHz) {
            spectrum[k] = 0;
        } else {
            const double x = (hz - centre) / (highHz - lowHz);
            spectrum[k] *= std::exp(-3 * x * x);
        }
    }
    fftw_plan backward = fftw_plan_dft_c2r_1d(static_cast<int>(n), bins, x.data(), FFTW_ESTIMATE);
    fftw_execute(backward);
    fftw_destroy_plan(backward);
    Signal out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(x[i]);
    const double rms = Rms(out.data(), n);
    for (float& v : out) v = static_cast<float>(v / rms);
    return out;
}

}  // namespace

Signal SyntheticSpeech(int rate, double seconds, std::uint32_t seed) {
    std::mt19937 rng(seed);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    const std::size_t total = static_cast<std::size_t>(seconds * rate);
    Signal out(total, 0.0f);
    const Signal hiss = BandNoise(total, rate, 3000, 8000, rng);
    const double voicedRms = std::pow(10.0, -20.0 / 20);
    const double fricativeRms = std::pow(10.0, -28.0 / 20);
    const double topHz = std::min(7800.0, rate / 2.0 - 200);

    auto samples = [&](double s) { return static_cast<std::size_t>(s * rate); };
    std::size_t at = samples(0.2);
    int syllablesLeft = 0;
    double phraseF0 = 150;
    while (at < total) {
        if (syllablesLeft-- <= 0) {
            syllablesLeft = 2 + static_cast<int>(uniform(0, 4));
            phraseF0 = uniform(100, 220);
            at += samples(uniform(0.3, 0.6));
        } else {
            at += samples(uniform(0.06, 0.2));
        }
        // Onset fricative, voiced nucleus, coda fricative.
        auto fricative = [&](double length) {
            const std::size_t n = std::min(samples(length), total - std::min(total, at));
            const double gain = fricativeRms * std::pow(10.0, uniform(-3, 3) / 20);
            for (std::size_t i = 0; i < n; ++i) {
                out[at + i] += static_cast<float>(gain * hiss[at + i] * Ramp(i, n, samples(0.015)));
            }
            at += n;
        };
        if (uniform(0, 1) < 0.5) fricative(uniform(0.07, 0.16));
        if (at >= total) break;
        const std::size_t n = std::min(samples(uniform(0.12, 0.32)), total - at);
        const std::vector<Formant> formants = VowelFormants(static_cast<int>(uniform(0, kVowelCount)));
        const double f0a = phraseF0 * uniform(0.9, 1.1);
        const double f0b = f0a * uniform(0.85, 1.15);
        const double vibrato = uniform(4, 6);
        Signal voiced(n, 0.0f);
        double phase = 0;  // of the fundamental, in cycles
        std::vector<double> amplitude;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double f0 = (f0a + (f0b - f0a) * static_cast<double>(i) / static_cast<double>(n)) *
                              (1 + 0.01 * std::sin(2 * kPi * vibrato * t));
            const int harmonics = static_cast<int>(topHz / f0);
            // The tract's gains move with the pitch: updated each millisecond.
            if (i % static_cast<std::size_t>(rate / 1000) == 0) {
                amplitude.assign(static_cast<std::size_t>(harmonics) + 1, 0.0);
                for (int h = 1; h <= harmonics; ++h) amplitude[static_cast<std::size_t>(h)] = TractGain(formants, h * f0) / h;
            }
            phase += f0 / rate;
            phase -= std::floor(phase);
            double v = 0;
            for (int h = 1; h < static_cast<int>(amplitude.size()); ++h) {
                v += amplitude[static_cast<std::size_t>(h)] * std::sin(2 * kPi * h * phase);
            }
            voiced[i] = static_cast<float>(v);
        }
        const double gain = voicedRms * std::pow(10.0, uniform(-2, 2) / 20) / std::max(1e-9, Rms(voiced.data(), n));
        for (std::size_t i = 0; i < n; ++i) {
            out[at + i] += static_cast<float>(gain * voiced[i] * Ramp(i, n, samples(0.025)));
        }
        at += n;
        if (at < total && uniform(0, 1) < 0.3) fricative(uniform(0.06, 0.14));
    }
    std::normal_distribution<double> floorNoise(0, std::pow(10.0, -66.0 / 20));
    for (float& v : out) v = static_cast<float>(std::clamp(v + floorNoise(rng), -1.0, 1.0));
    return out;
}

Signal SteadyVoice(int rate, double seconds, int pitchHz, double rmsDb, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::vector<Formant> formants = VowelFormants(static_cast<int>(seed));
    std::vector<double> amplitude, phase;
    double power = 0;
    for (int h = 1; h * pitchHz <= 7000; ++h) {
        amplitude.push_back(TractGain(formants, h * pitchHz) / h);
        phase.push_back(std::uniform_real_distribution<double>(0, 2 * kPi)(rng));
        power += amplitude.back() * amplitude.back() / 2;
    }
    const double scale = std::pow(10.0, rmsDb / 20) / std::sqrt(power);
    // A whole-hertz pitch repeats every second exactly: one second, repeated.
    const auto period = static_cast<std::size_t>(rate);
    Signal second(period);
    for (std::size_t i = 0; i < period; ++i) {
        double v = 0;
        for (std::size_t h = 0; h < amplitude.size(); ++h) {
            const auto cycles = static_cast<std::uint64_t>(h + 1) * static_cast<std::uint64_t>(pitchHz) * i %
                                static_cast<std::uint64_t>(rate);
            v += amplitude[h] * std::sin(2 * kPi * static_cast<double>(cycles) / rate + phase[h]);
        }
        second[i] = static_cast<float>(scale * v);
    }
    const std::size_t n = static_cast<std::size_t>(seconds * rate);
    Signal out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = second[i % period];
    return out;
}

Signal RoomNoise(int rate, double seconds, double rmsDb, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0, std::pow(10.0, rmsDb / 20));
    Signal out(static_cast<std::size_t>(seconds * rate));
    for (float& v : out) v = static_cast<float>(normal(rng));
    return out;
}

std::vector<int> CleanHarmonics(int pitchHz, const std::vector<int>& others, int guardHz) {
    std::vector<int> out;
    for (int f = pitchHz; f <= 7000; f += pitchHz) {
        if (f < 100) continue;
        bool clean = true;
        for (int q : others) {
            if (q == pitchHz) continue;
            // The other voice's harmonic nearest to f.
            const int m = std::max(1, (f + q / 2) / q);
            for (int k = std::max(1, m - 1); k <= m + 1; ++k) {
                if (k * q <= 7000 && std::abs(k * q - f) < guardHz) clean = false;
            }
        }
        if (clean) out.push_back(f);
    }
    return out;
}

Signal Resample(const Signal& in, int inRate, int outRate) {
    int error = 0;
    SpeexResamplerState* state = speex_resampler_init(1, static_cast<spx_uint32_t>(inRate),
                                                      static_cast<spx_uint32_t>(outRate), 10, &error);
    if (!state) return {};
    const int latency = speex_resampler_get_output_latency(state);
    Signal padded = in;
    padded.resize(in.size() + static_cast<std::size_t>(speex_resampler_get_input_latency(state)) + 1, 0.0f);
    Signal out(padded.size() * static_cast<std::size_t>(outRate) / static_cast<std::size_t>(inRate) + 16);
    std::size_t read = 0, written = 0;
    while (read < padded.size() && written < out.size()) {
        spx_uint32_t inLength = static_cast<spx_uint32_t>(std::min<std::size_t>(padded.size() - read, 4096));
        spx_uint32_t outLength = static_cast<spx_uint32_t>(out.size() - written);
        speex_resampler_process_float(state, 0, padded.data() + read, &inLength, out.data() + written, &outLength);
        read += inLength;
        written += outLength;
        if (inLength == 0 && outLength == 0) break;
    }
    speex_resampler_destroy(state);
    out.resize(written);
    const std::size_t wanted = in.size() * static_cast<std::size_t>(outRate) / static_cast<std::size_t>(inRate);
    const std::size_t skip = std::min(out.size(), static_cast<std::size_t>(latency));
    Signal result(out.begin() + static_cast<std::ptrdiff_t>(skip), out.end());
    result.resize(wanted, 0.0f);
    return result;
}

bool WriteS16(const std::string& path, const Signal& x) {
    std::string bytes;
    bytes.reserve(2 * x.size());
    for (float v : x) {
        const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lrint(std::clamp(v * 32768.0f, -32768.0f, 32767.0f))));
        bytes.push_back(static_cast<char>(s & 0xFF));
        bytes.push_back(static_cast<char>(s >> 8));
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool WriteU8(const std::string& path, const Signal& x) {
    std::string bytes;
    bytes.reserve(x.size());
    for (float v : x) bytes.push_back(static_cast<char>(std::clamp(std::lrint(v * 128.0f) + 128, 0L, 255L)));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

namespace {

std::string ReadBytes(const std::string& path, std::int64_t begin, std::int64_t end) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto size = static_cast<std::int64_t>(all.size());
    if (end < 0 || end > size) end = size;
    begin = std::clamp<std::int64_t>(begin, 0, end);
    return all.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

}  // namespace

Signal ReadS16(const std::string& path, std::int64_t begin, std::int64_t end) {
    const std::string bytes = ReadBytes(path, begin - begin % 2, end);
    Signal out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto lo = static_cast<std::uint8_t>(bytes[2 * i]);
        const auto hi = static_cast<std::uint8_t>(bytes[2 * i + 1]);
        out[i] = static_cast<float>(static_cast<std::int16_t>(lo | (hi << 8))) / 32768.0f;
    }
    return out;
}

Signal ReadU8(const std::string& path, std::int64_t begin, std::int64_t end) {
    const std::string bytes = ReadBytes(path, begin, end);
    Signal out(bytes.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = (static_cast<std::uint8_t>(bytes[i]) - 128) / 128.0f;
    return out;
}

}  // namespace voicequality
