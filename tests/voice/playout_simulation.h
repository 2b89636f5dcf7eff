// Simulated time and a simulated sound device for the play-out buffer: a
// device that takes one block every 16 ms by its own clock, a receiver
// that runs on its tick, and frames that arrive as a link delivers them.
#pragma once

#include <map>
#include <vector>

#include "voice/playout_buffer.h"

namespace playoutsim {

using Clock = CPlayoutBuffer::Clock;

// The steady clock's time ms milliseconds after its epoch.
Clock::time_point At(double ms);

// Frame k: its number in the first two bytes, then a pattern of its own
// that no continuation of the frames before it reproduces.
CPlayoutBuffer::Frame Tagged(int k);
int TagOf(const CPlayoutBuffer::Frame& f);

constexpr int kSilentBlock = -1;
constexpr int kMadeUpBlock = -2;

// What the simulated device played: per 16 ms block, a tag, kSilentBlock
// (also when it had nothing) or kMadeUpBlock, and when the block started.
struct Played {
    std::vector<int> tags;
    std::map<int, double> startMs;  // tag -> start of its playback
    double lastTrimMs = -1;         // when the buffer last dropped frames

    // Silent blocks between the first and the last block that played.
    int Gaps() const;
    // Silent blocks from the block of frame tag to the last that played.
    int GapsAfter(int tag) const;
    int MadeUp() const;
    std::vector<int> Heard() const;
};

// Frame k is recorded from k * 16 ms and arrives at arrivalMs[k]; the
// receiver adds what arrived and feeds every tickMs (its 10 ms timer, or
// 1 ms for a receiver woken by each arrival), the device takes a block
// every blockMs (16 ms by its own clock) from phaseMs on.
Played Simulate(CPlayoutBuffer& buffer, const std::vector<double>& arrivalMs, double endMs, double phaseMs = 3,
                int tickMs = 10, double blockMs = CPlayoutBuffer::kFrameMs);

// Frames sent on the sender's tick after their capture completed (10 ms,
// or 1 ms for a sender woken by capture), delayed on the way by up to
// jitterMs (order kept), from frame `from` on held up until stallEndMs.
std::vector<double> Arrivals(int frames, double jitterMs, unsigned seed = 7, int stallFrom = -1, double stallEndMs = 0,
                             int tickMs = 10);

// From the start of frame tag's capture to the start of its playback.
double LatencyOf(const Played& p, int tag);

}  // namespace playoutsim
