// The sounds the voice quality bench speaks into the dialogs: synthetic
// speech, and steady voices of one pitch each. Seeded, so every run speaks
// the same. Samples are full scale +-1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace voicequality {

using Signal = std::vector<float>;

// Syllables of speech with pauses between them: voiced parts (a glottal-like
// harmonic series on a slowly gliding pitch, shaped by the formants of one
// of a few vowels) about -20 dBFS RMS, and fricatives (noise with its energy
// between 3 and 8 kHz) about 8 dB weaker, over a room's noise floor near
// -66 dBFS. rate at least 16,000.
Signal SyntheticSpeech(int rate, double seconds, std::uint32_t seed);

// One talker holding a vowel on a steady pitch (whole hertz): its harmonics
// up to 7 kHz, falling with frequency and shaped by formants, in seeded
// phases, at rmsDb dBFS RMS.
Signal SteadyVoice(int rate, double seconds, int pitchHz, double rmsDb, std::uint32_t seed);

// A quiet room: white noise at rmsDb dBFS RMS.
Signal RoomNoise(int rate, double seconds, double rmsDb, std::uint32_t seed);

// The harmonics of pitchHz between 100 Hz and 7 kHz that lie at least
// guardHz from every harmonic of the other pitches: where that voice alone
// puts its energy.
std::vector<int> CleanHarmonics(int pitchHz, const std::vector<int>& others, int guardHz);

// A stream from one rate to another through speexdsp's resampler (its best
// quality), the resampler's delay taken out.
Signal Resample(const Signal& in, int inRate, int outRate);

// The files of SDL's disk driver: signed 16-bit little-endian, or unsigned
// 8-bit (silence 128) for today's voice.
bool WriteS16(const std::string& path, const Signal& x);
bool WriteU8(const std::string& path, const Signal& x);
// From byte offset begin (rounded down to a whole sample) to end (-1: the
// file's end); empty when the file cannot be read.
Signal ReadS16(const std::string& path, std::int64_t begin = 0, std::int64_t end = -1);
Signal ReadU8(const std::string& path, std::int64_t begin = 0, std::int64_t end = -1);

}  // namespace voicequality
