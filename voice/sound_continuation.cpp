#include "voice/sound_continuation.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "protocol/voice_codec.h"

namespace {

constexpr int kSilence = protocol::kSilence;
// Samples compared at each candidate period: the end of the history.
constexpr int kCompared = 96;
// A shorter period that repeats almost as well as the best one is the
// pitch; the best one may be a multiple of it.
constexpr double kNearBest = 0.9;

int Signed(std::uint8_t sample) { return static_cast<int>(sample) - kSilence; }

}  // namespace

int FindPitchPeriod(const std::uint8_t* history, int historyLength) {
    if (!history || historyLength < kMaxPitchPeriod + kCompared) return 0;
    const std::uint8_t* end = history + historyLength;
    long long energy = 0;
    for (int i = 1; i <= kCompared; ++i) energy += Signed(end[-i]) * Signed(end[-i]);
    if (energy == 0) return 0;

    std::array<double, kMaxPitchPeriod + 1> score{};
    double best = -1;
    for (int p = kMinPitchPeriod; p <= kMaxPitchPeriod; ++p) {
        long long cross = 0, earlier = 0;
        for (int i = 1; i <= kCompared; ++i) {
            const int a = Signed(end[-i]);
            const int b = Signed(end[-i - p]);
            cross += a * b;
            earlier += b * b;
        }
        score[static_cast<std::size_t>(p)] =
            earlier > 0 ? static_cast<double>(cross) / std::sqrt(static_cast<double>(energy) * static_cast<double>(earlier)) : 0;
        best = std::max(best, score[static_cast<std::size_t>(p)]);
    }
    // The first peak that comes near the best: periods next to a peak
    // score almost as well, and are not the pitch.
    for (int p = kMinPitchPeriod; p <= kMaxPitchPeriod; ++p) {
        const double here = score[static_cast<std::size_t>(p)];
        const bool peak = (p == kMinPitchPeriod || here >= score[static_cast<std::size_t>(p - 1)]) &&
                          (p == kMaxPitchPeriod || here >= score[static_cast<std::size_t>(p + 1)]);
        if (peak && here >= kNearBest * best) return p;
    }
    return kMaxPitchPeriod;
}

void ContinueSound(const std::uint8_t* history, int historyLength, std::uint8_t* out, int outLength) {
    if (!out || outLength <= 0) return;
    // Sound that had ended goes on as silence, not as what came before.
    const auto silent = [](std::uint8_t s) { return s == kSilence; };
    if (!history || historyLength <= 0 ||
        std::all_of(history + historyLength - std::min(historyLength, kCompared), history + historyLength, silent)) {
        std::fill(out, out + outLength, static_cast<std::uint8_t>(kSilence));
        return;
    }
    int period = FindPitchPeriod(history, historyLength);
    if (period == 0) period = historyLength;
    const std::uint8_t* cycle = history + historyLength - period;
    for (int i = 0; i < outLength; ++i) out[i] = cycle[i % period];
}
