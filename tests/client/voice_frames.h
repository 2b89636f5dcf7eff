// Frames for the voice tests and the comparison of what a listener's
// playback wrote with what the speakers recorded.
//
// Playback writes whole 128-sample blocks, each either a frame it was handed
// or silence while it had none, so its output splits into frames at every
// 128th byte. A frame that is silence after the codec cannot be told from
// an idle device and is left out on both sides.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace voicecheck {

constexpr int kFrameBytes = 128;
constexpr std::uint8_t kSilence = 128;

using Bytes = std::vector<std::uint8_t>;
using Frame = std::array<std::uint8_t, kFrameBytes>;

// Frame k of a tagged recording: every byte a multiple of four, so the codec
// passes it unchanged, and none the silence value; its first three bytes
// carry k (0 to 29790).
Frame TaggedFrame(int k);
Bytes TaggedFrames(int first, int count);
// k when the frame is tagged frame k, else -1.
int TagOf(const Frame& frame);

// Consecutive frames of the bytes; a last partial frame is filled up with
// silence, as a device fills up a short recording.
std::vector<Frame> SplitFrames(const Bytes& bytes);
Bytes JoinFrames(const std::vector<Frame>& frames);
bool IsSilent(const Frame& frame);
// The blocks of a playback output that are not silence, as tags (-1: no
// tagged frame).
std::vector<int> PlayedTags(const Bytes& output);
// The tags without the blocks the play-out buffer made up, when there are
// exactly madeUp untagged ones; else unchanged, so that a comparison shows
// them.
std::vector<int> WithoutMadeUp(std::vector<int> tags, long long madeUp);
// A recorded frame as it comes out of the codec: the two low bits cleared.
Frame ClearLowBits(const Frame& frame);
// What a listener hears while a and b are spoken together: the server
// averages the decoded frames (integer division) and the codec clears the
// two low bits of the average.
Frame MixOfTwo(const Frame& a, const Frame& b);

Bytes ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const Bytes& bytes);

struct Comparison {
    int heard = 0;     // frames in the output that are not silence
    int matched = 0;   // of them: the expected frame, in order
    int expected = 0;  // expected frames that are not silence
    int covered = 0;   // of them: found in the output
    int offset = 0;    // mixes: frame i of a goes with frame i - offset of b

    // Share of the heard frames that are expected ones, and share of the
    // expected frames that were heard; 0 when there is nothing to share.
    double Precision() const { return heard ? double(matched) / heard : 0.0; }
    double Coverage() const { return expected ? double(covered) / expected : 0.0; }
    std::string Describe() const;
};

// One speaker: the frames it recorded (from its first) against what a
// listener heard. Each heard frame is looked for among the recorded ones
// after the last one found, so order counts and gaps are allowed.
Comparison CompareSingle(const std::vector<Frame>& recorded, const std::vector<Frame>& heard);

// Two speakers at once: a's frame i is mixed with b's frame i - offset, the
// offset being the one that the heard frames matching a single pair agree
// on. A speaker's frames after its recording ended are silence.
Comparison CompareMix(const std::vector<Frame>& a, const std::vector<Frame>& b,
                      const std::vector<Frame>& heard);

}  // namespace voicecheck
