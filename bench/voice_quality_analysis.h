// How close what a listener heard is to what a speaker said: the spectra of
// the two (through FFTW), after lining what was heard up with the original.
#pragma once

#include <cstdint>
#include <vector>

#include "bench/voice_quality_signals.h"

namespace voicequality {

// Frames of 20 ms with a Hann window, every 10 ms.
constexpr double kFrameSeconds = 0.020;
constexpr double kHopSeconds = 0.010;
// A frame of the original counts when its RMS reaches this (the speech's
// pauses hold only the room's noise, near -66 dBFS).
constexpr double kActiveDb = -50;
// Added to every bin's power before the logarithm: the power a bin holds of
// white noise at -80 dBFS, well under the original's own noise floor.
constexpr double kFloorDb = -80;

// Where a stretch of heard lines up with the original: heard[n] goes with
// original[n - offset].
struct Match {
    std::int64_t offset = 0;
    double correlation = 0;  // normalised, -1 to 1
};

// The offset in [lo, hi] at which heard[begin, begin + length) correlates
// best with the original (samples outside either signal count as silence).
Match BestOffset(const Signal& heard, std::size_t begin, std::size_t length, const Signal& original,
                 std::int64_t lo, std::int64_t hi);

// The offset of the whole of heard against the original, to within a few
// milliseconds, found on the two signals' energy envelopes.
Match CoarseOffset(const Signal& heard, const Signal& original, int rate);

// Mean log-spectral distance in dB, over the frames of two aligned signals
// (the shorter length) where a is active, in the bins from lowHz to highHz.
double LogSpectralDistance(const Signal& a, const Signal& b, int rate, double lowHz, double highHz);

struct SpeechFigures {
    double lowBandDb = 0;   // heard against original energy, 0.1 to 4 kHz
    double highBandDb = 0;  // the same, 4 to 8 kHz
    double lsdLowDb = 0;    // log-spectral distance, 0.1 to 4 kHz
    double lsdWideDb = 0;   // log-spectral distance, 0.1 to 8 kHz
    int frames = 0;         // active frames of the original measured
    double correlation = 0; // the median of the stretches' correlations
};

// Lines heard up with the original (as a whole, then in stretches of a
// quarter of a second, so that the play-out trimming or stretching a little does not
// throw the frames out of step) and compares their spectra frame by frame
// where the original is active.
SpeechFigures CompareSpeech(const Signal& original, const Signal& heard, int rate);

// The mean square of a voice in x, in dB (0: a full-scale RMS): the power at
// the voice's harmonics (each harmonic's bin and its neighbours, in windows
// of one second, so bins of 1 Hz) averaged over the windows, at half overlap.
// harmonicsHz in whole hertz.
double HarmonicLevelDb(const Signal& x, int rate, const std::vector<int>& harmonicsHz);

double RmsDb(const Signal& x);

}  // namespace voicequality
