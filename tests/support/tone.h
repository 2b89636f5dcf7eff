// Test tones and their measurement: a sine of a given frequency, and the
// amplitude at one frequency of whatever came back (one bin of a Fourier
// sum over the samples), so that levels can be read through a real codec.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
#include <span>
#include <vector>

namespace tone {

// Samples first to first+n of a sine of the given amplitude.
inline std::vector<float> Sine(double hz, double amplitude, int first, int n, int rate = 48000) {
    std::vector<float> out(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        out[static_cast<std::size_t>(i)] =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * (first + i) / rate));
    return out;
}

// Amplitude of the component at hz; exact for a sine whose frequency fits a
// whole number of cycles into the samples.
inline double Amplitude(std::span<const float> samples, double hz, int rate = 48000) {
    std::complex<double> sum = 0;
    for (std::size_t i = 0; i < samples.size(); ++i)
        sum += static_cast<double>(samples[i]) * std::polar(1.0, -2 * std::numbers::pi * hz * static_cast<double>(i) / rate);
    return 2 * std::abs(sum) / static_cast<double>(samples.size());
}

inline double Rms(std::span<const float> samples) {
    double sum = 0;
    for (float s : samples) sum += static_cast<double>(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

inline double Db(double ratio) { return 20 * std::log10(ratio); }

}  // namespace tone
