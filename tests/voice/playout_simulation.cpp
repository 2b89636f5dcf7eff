#include "playout_simulation.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>

#include "sound_fixture.h"

namespace playoutsim {

namespace {

// What a block the device played was: a frame's tag, silence, or sound the
// buffer made up.
int BlockOf(const CPlayoutBuffer::Frame& f) {
    if (Tagged(TagOf(f)) == f) return TagOf(f);
    return voicetest::IsSilence(f.data(), CPlayoutBuffer::kFrameBytes) ? kSilentBlock : kMadeUpBlock;
}

bool IsFrame(int t) { return t >= 0; }

}  // namespace

Clock::time_point At(double ms) {
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms)));
}

CPlayoutBuffer::Frame Tagged(int k) {
    CPlayoutBuffer::Frame f;
    f[0] = static_cast<std::uint8_t>(k >> 8);
    f[1] = static_cast<std::uint8_t>(k & 0xFF);
    for (int j = 2; j < CPlayoutBuffer::kFrameBytes; ++j) f[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>((k * 7 + j * 13) % 251);
    return f;
}

int TagOf(const CPlayoutBuffer::Frame& f) { return f[0] * 256 + f[1]; }

int Played::Gaps() const {
    auto first = std::find_if(tags.begin(), tags.end(), IsFrame);
    auto last = std::find_if(tags.rbegin(), tags.rend(), IsFrame).base();
    return first < last ? static_cast<int>(std::count(first, last, kSilentBlock)) : 0;
}

int Played::GapsAfter(int tag) const {
    auto from = std::find(tags.begin(), tags.end(), tag);
    auto last = std::find_if(tags.rbegin(), tags.rend(), IsFrame).base();
    return from < last ? static_cast<int>(std::count(from, last, kSilentBlock)) : 0;
}

int Played::MadeUp() const { return static_cast<int>(std::count(tags.begin(), tags.end(), kMadeUpBlock)); }

std::vector<int> Played::Heard() const {
    std::vector<int> out;
    for (int t : tags) {
        if (IsFrame(t)) out.push_back(t);
    }
    return out;
}

Played Simulate(CPlayoutBuffer& buffer, const std::vector<double>& arrivalMs, double endMs, double phaseMs,
                int tickMs, double blockMs) {
    Played out;
    std::deque<CPlayoutBuffer::Frame> device;
    std::size_t next = 0;
    double nextBlock = phaseMs;
    double soundingUntil = 0;  // end of the block being heard
    for (double now = 0; now <= endMs; now += 1) {
        if (now >= nextBlock) {
            if (device.empty()) {
                out.tags.push_back(kSilentBlock);
            } else {
                const int tag = BlockOf(device.front());
                out.tags.push_back(tag);
                if (tag >= 0) out.startMs[tag] = nextBlock;
                device.pop_front();
                soundingUntil = nextBlock + blockMs;
            }
            nextBlock += blockMs;
        }
        if (static_cast<long long>(now) % tickMs == 0) {
            while (next < arrivalMs.size() && arrivalMs[next] <= now) {
                const auto frame = Tagged(static_cast<int>(next));
                buffer.Add(frame.data(), CPlayoutBuffer::kFrameBytes, At(now));
                ++next;
            }
            const double unplayedMs = std::max(0.0, soundingUntil - now) + blockMs * static_cast<double>(device.size());
            buffer.NoteLead(At(now), unplayedMs);
            CPlayoutBuffer::Frame f;
            const long long trimmed = buffer.GetStats().trimmed;
            while (buffer.TakeFrame(At(now), static_cast<int>(device.size()), &f)) device.push_back(f);
            if (buffer.GetStats().trimmed != trimmed) out.lastTrimMs = now;
        }
    }
    return out;
}

std::vector<double> Arrivals(int frames, double jitterMs, unsigned seed, int stallFrom, double stallEndMs,
                             int tickMs) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(0, jitterMs);
    std::vector<double> out;
    double last = 0;
    for (int k = 0; k < frames; ++k) {
        const double complete = (k + 1) * 16.0;
        double sent = std::ceil(complete / tickMs) * tickMs + 1;
        double at = sent + (jitterMs > 0 ? jitter(random) : 0.0);
        if (stallFrom >= 0 && k >= stallFrom) at = std::max(at, stallEndMs);
        at = std::max(at, last);
        out.push_back(at);
        last = at;
    }
    return out;
}

double LatencyOf(const Played& p, int tag) { return p.startMs.at(tag) - tag * 16.0; }

}  // namespace playoutsim
