// Sequence numbers of wideband voice packets: five digits, one step per
// 10 ms packet, 99999 followed by 00000. Two numbers are compared by the
// shorter way round the circle, so a receiver tells a gap (the new number a
// little ahead) from a late or repeated packet (behind or equal).
#pragma once

namespace protocol {

inline constexpr int kSequenceModulus = 100000;

constexpr int NextSequence(int sequence) { return (sequence + 1) % kSequenceModulus; }

// Steps from a forward to b, in (-kSequenceModulus/2, kSequenceModulus/2]:
// positive when b comes after a.
constexpr int SequenceDistance(int a, int b) {
    int d = ((b - a) % kSequenceModulus + kSequenceModulus) % kSequenceModulus;
    return d > kSequenceModulus / 2 ? d - kSequenceModulus : d;
}

constexpr bool IsAfter(int a, int b) { return SequenceDistance(a, b) > 0; }

// Packets missing between a and a later b (0 when b follows a directly, or
// when b is not after a at all).
constexpr int SequenceGap(int a, int b) {
    int d = SequenceDistance(a, b);
    return d > 1 ? d - 1 : 0;
}

}  // namespace protocol
