#include "bench/voice_quality_analysis.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>

namespace voicequality {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A real transform of one size, planned once: Forward fills Spectrum() from
// Input(), Backward fills Input() from Spectrum() (unscaled, as FFTW does).
class RealFft {
public:
    explicit RealFft(std::size_t n) : n_(n), input_(n), spectrum_(n / 2 + 1) {
        auto* bins = reinterpret_cast<fftw_complex*>(spectrum_.data());
        forward_ = fftw_plan_dft_r2c_1d(static_cast<int>(n), input_.data(), bins, FFTW_ESTIMATE);
        backward_ = fftw_plan_dft_c2r_1d(static_cast<int>(n), bins, input_.data(), FFTW_ESTIMATE);
    }
    ~RealFft() {
        fftw_destroy_plan(forward_);
        fftw_destroy_plan(backward_);
    }
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    std::size_t Size() const { return n_; }
    std::vector<double>& Input() { return input_; }
    std::vector<std::complex<double>>& Spectrum() { return spectrum_; }
    void Forward() { fftw_execute(forward_); }
    void Backward() { fftw_execute(backward_); }

private:
    std::size_t n_;
    std::vector<double> input_;
    std::vector<std::complex<double>> spectrum_;
    fftw_plan forward_;
    fftw_plan backward_;
};

std::vector<double> Hann(std::size_t n) {
    std::vector<double> w(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(n));
    return w;
}

double At(const Signal& x, std::int64_t i) {
    return i >= 0 && i < static_cast<std::int64_t>(x.size()) ? x[static_cast<std::size_t>(i)] : 0.0;
}

// Power per bin of one windowed frame, scaled so that white noise of
// variance s2 gives s2 in every bin.
class FrameSpectrum {
public:
    FrameSpectrum(std::size_t n) : fft_(n), window_(Hann(n)) {
        for (double w : window_) windowPower_ += w * w;
    }
    const std::vector<double>& Of(const float* x) {
        for (std::size_t i = 0; i < fft_.Size(); ++i) fft_.Input()[i] = window_[i] * x[i];
        fft_.Forward();
        power_.resize(fft_.Spectrum().size());
        for (std::size_t k = 0; k < power_.size(); ++k) power_[k] = std::norm(fft_.Spectrum()[k]) / windowPower_;
        return power_;
    }

private:
    RealFft fft_;
    std::vector<double> window_;
    double windowPower_ = 0;
    std::vector<double> power_;
};

double FrameRmsDb(const float* x, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += double(x[i]) * x[i];
    return 10 * std::log10(sum / static_cast<double>(n) + 1e-20);
}

// The sums of one comparison, frame by frame.
struct Tally {
    std::size_t frameSamples;
    int rate;
    std::size_t low, split, high;  // bins: 0.1 kHz, 4 kHz, 8 kHz
    FrameSpectrum original, heard;
    double floor = std::pow(10.0, kFloorDb / 10);
    double lowOriginal = 0, lowHeard = 0, highOriginal = 0, highHeard = 0;
    double lsdLow = 0, lsdWide = 0;
    int frames = 0;

    Tally(int rate_, double lowHz, double splitHz, double highHz)
        : frameSamples(static_cast<std::size_t>(kFrameSeconds * rate_)),
          rate(rate_),
          low(Bin(lowHz)),
          split(Bin(splitHz)),
          high(Bin(highHz)),
          original(frameSamples),
          heard(frameSamples) {}

    std::size_t Bin(double hz) const {
        return static_cast<std::size_t>(std::lround(hz * static_cast<double>(frameSamples) / rate));
    }

    // The frames at o and h; false when o is not active.
    bool Add(const float* o, const float* h) {
        if (FrameRmsDb(o, frameSamples) < kActiveDb) return false;
        const std::vector<double>& po = original.Of(o);
        const std::vector<double>& ph = heard.Of(h);
        double sumLow = 0, sumWide = 0;
        for (std::size_t k = low; k <= high && k < po.size(); ++k) {
            const double d = 10 * std::log10((po[k] + floor) / (ph[k] + floor));
            sumWide += d * d;
            if (k <= split) {
                sumLow += d * d;
                lowOriginal += po[k];
                lowHeard += ph[k];
            } else {
                highOriginal += po[k];
                highHeard += ph[k];
            }
        }
        lsdLow += std::sqrt(sumLow / static_cast<double>(split - low + 1));
        lsdWide += std::sqrt(sumWide / static_cast<double>(high - low + 1));
        ++frames;
        return true;
    }
};

// The energy envelope, one value a step.
std::vector<float> Envelope(const Signal& x, std::size_t step) {
    std::vector<float> out(x.size() / step);
    for (std::size_t i = 0; i < out.size(); ++i) {
        double sum = 0;
        for (std::size_t j = 0; j < step; ++j) sum += double(x[i * step + j]) * x[i * step + j];
        out[i] = static_cast<float>(std::sqrt(sum / static_cast<double>(step)));
    }
    double mean = 0;
    for (float v : out) mean += v;
    mean /= std::max<std::size_t>(1, out.size());
    for (float& v : out) v = static_cast<float>(v - mean);
    return out;
}

}  // namespace

Match BestOffset(const Signal& heard, std::size_t begin, std::size_t length, const Signal& original,
                 std::int64_t lo, std::int64_t hi) {
    Match best;
    if (hi < lo || length == 0) return best;
    // a: the stretch heard; b: the original from where offset hi puts the
    // stretch's start to where offset lo puts its end. c[j] = sum a[i] b[i + j]
    // is the correlation at offset hi - j.
    const auto span = static_cast<std::size_t>(hi - lo);
    const std::size_t bLength = length + span;
    std::size_t n = 1;
    while (n < bLength + length) n *= 2;
    RealFft fa(n), fb(n);
    std::fill(fa.Input().begin(), fa.Input().end(), 0.0);
    std::fill(fb.Input().begin(), fb.Input().end(), 0.0);
    double energyA = 0;
    for (std::size_t i = 0; i < length; ++i) {
        fa.Input()[i] = At(heard, static_cast<std::int64_t>(begin + i));
        energyA += fa.Input()[i] * fa.Input()[i];
    }
    const std::int64_t bStart = static_cast<std::int64_t>(begin) - hi;
    std::vector<double> prefix(bLength + 1, 0.0);
    for (std::size_t m = 0; m < bLength; ++m) {
        fb.Input()[m] = At(original, bStart + static_cast<std::int64_t>(m));
        prefix[m + 1] = prefix[m] + fb.Input()[m] * fb.Input()[m];
    }
    fa.Forward();
    fb.Forward();
    for (std::size_t k = 0; k < fb.Spectrum().size(); ++k) fb.Spectrum()[k] *= std::conj(fa.Spectrum()[k]);
    fb.Backward();
    best.correlation = -2;
    for (std::size_t j = 0; j <= span; ++j) {
        const double energyB = prefix[j + length] - prefix[j];
        const double denominator = std::sqrt(energyA * energyB);
        const double c = denominator > 0 ? fb.Input()[j] / static_cast<double>(n) / denominator : 0.0;
        if (c > best.correlation) {
            best.correlation = c;
            best.offset = hi - static_cast<std::int64_t>(j);
        }
    }
    return best;
}

Match CoarseOffset(const Signal& heard, const Signal& original, int rate) {
    const std::size_t step = static_cast<std::size_t>(rate / 200);
    const std::vector<float> h = Envelope(heard, step), o = Envelope(original, step);
    Match m = BestOffset(h, 0, h.size(), o, -static_cast<std::int64_t>(o.size()), static_cast<std::int64_t>(h.size()));
    m.offset *= static_cast<std::int64_t>(step);
    return m;
}

double LogSpectralDistance(const Signal& a, const Signal& b, int rate, double lowHz, double highHz) {
    Tally tally(rate, lowHz, highHz, highHz);
    const std::size_t n = std::min(a.size(), b.size());
    const auto hop = static_cast<std::size_t>(kHopSeconds * rate);
    for (std::size_t p = 0; p + tally.frameSamples <= n; p += hop) tally.Add(a.data() + p, b.data() + p);
    return tally.frames ? tally.lsdWide / tally.frames : 0.0;
}

SpeechFigures CompareSpeech(const Signal& original, const Signal& heard, int rate) {
    SpeechFigures figures;
    Tally tally(rate, 100, 4000, 8000);
    const std::size_t frame = tally.frameSamples;
    const auto hop = static_cast<std::size_t>(kHopSeconds * rate);
    // Today's play-out drops whole frames of 16 ms; the wideband one trims
    // and stretches by less, and the disk driver's cards run a little
    // apart, so the offset moves by a few milliseconds a second.
    const auto block = static_cast<std::size_t>(rate / 4);
    const auto search = static_cast<std::int64_t>(rate * 30 / 1000);
    std::int64_t current = CoarseOffset(heard, original, rate).offset;
    std::vector<double> correlations;
    for (std::size_t b = 0; b + frame <= heard.size(); b += block) {
        const std::size_t length = std::min(block, heard.size() - b);
        const Match m = BestOffset(heard, b, length, original, current - search, current + search);
        // A stretch of room noise alone tells nothing: the last offset holds.
        if (m.correlation >= 0.5) current = m.offset;
        correlations.push_back(m.correlation);
        for (std::size_t p = b; p < b + length && p + frame <= heard.size(); p += hop) {
            const std::int64_t q = static_cast<std::int64_t>(p) - current;
            if (q < 0 || q + static_cast<std::int64_t>(frame) > static_cast<std::int64_t>(original.size())) continue;
            tally.Add(original.data() + q, heard.data() + p);
        }
    }
    if (!correlations.empty()) {
        std::nth_element(correlations.begin(), correlations.begin() + static_cast<std::ptrdiff_t>(correlations.size() / 2),
                         correlations.end());
        figures.correlation = correlations[correlations.size() / 2];
    }
    figures.frames = tally.frames;
    if (tally.frames == 0) return figures;
    auto ratio = [](double heardSum, double originalSum) { return 10 * std::log10((heardSum + 1e-30) / (originalSum + 1e-30)); };
    figures.lowBandDb = ratio(tally.lowHeard, tally.lowOriginal);
    figures.highBandDb = ratio(tally.highHeard, tally.highOriginal);
    figures.lsdLowDb = tally.lsdLow / tally.frames;
    figures.lsdWideDb = tally.lsdWide / tally.frames;
    return figures;
}

double HarmonicLevelDb(const Signal& x, int rate, const std::vector<int>& harmonicsHz) {
    const auto n = static_cast<std::size_t>(rate);
    if (x.size() < n || harmonicsHz.empty()) return -200;
    RealFft fft(n);
    const std::vector<double> window = Hann(n);
    // A harmonic of amplitude A puts 3 A^2 n^2 / 32 into its bin and its two
    // neighbours; its mean square is A^2 / 2.
    const double scale = 16.0 / (3.0 * static_cast<double>(n) * static_cast<double>(n));
    double total = 0;
    int windows = 0;
    for (std::size_t p = 0; p + n <= x.size(); p += n / 2) {
        for (std::size_t i = 0; i < n; ++i) fft.Input()[i] = window[i] * x[p + i];
        fft.Forward();
        double power = 0;
        for (int hz : harmonicsHz) {
            const auto k = static_cast<std::size_t>(hz);
            for (std::size_t j = k - 1; j <= k + 1 && j < fft.Spectrum().size(); ++j) power += std::norm(fft.Spectrum()[j]);
        }
        total += power * scale;
        ++windows;
    }
    return 10 * std::log10(total / windows + 1e-30);
}

double RmsDb(const Signal& x) { return x.empty() ? -200 : FrameRmsDb(x.data(), x.size()); }

}  // namespace voicequality
