#include "voice_frames.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string_view>
#include <unordered_map>

namespace voicecheck {
namespace {

constexpr int kTagBase = 31;  // tag digits 0..30 give bytes 0..120

std::string_view Key(const Frame& frame) {
    return std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size());
}

std::uint8_t Clear(int sample) { return static_cast<std::uint8_t>(sample & ~3); }

// Frame i of a recording; after its end the device recorded silence.
const Frame& At(const std::vector<Frame>& frames, int i) {
    static const Frame silence = [] {
        Frame f;
        f.fill(kSilence);
        return f;
    }();
    return i >= 0 && i < static_cast<int>(frames.size()) ? frames[static_cast<std::size_t>(i)] : silence;
}

// Whether a and b (both cleared) mixed give heard; stops at the first
// sample that differs.
bool MixesTo(const Frame& a, const Frame& b, const Frame& heard) {
    for (int x = 0; x < kFrameBytes; ++x) {
        if (Clear((a[x] + b[x]) / 2) != heard[x]) return false;
    }
    return true;
}

std::vector<Frame> Cleared(const std::vector<Frame>& frames) {
    std::vector<Frame> out;
    out.reserve(frames.size());
    for (const Frame& f : frames) out.push_back(ClearLowBits(f));
    return out;
}

}  // namespace

Frame TaggedFrame(int k) {
    Frame f;
    f[0] = static_cast<std::uint8_t>(4 * (k % kTagBase));
    f[1] = static_cast<std::uint8_t>(4 * ((k / kTagBase) % kTagBase));
    f[2] = static_cast<std::uint8_t>(4 * ((k / (kTagBase * kTagBase)) % kTagBase));
    for (int j = 3; j < kFrameBytes; ++j) {
        int v = (k * 7 + j * 13) % 63;
        if (v == kSilence / 4) v = kSilence / 4 + 1;
        f[j] = static_cast<std::uint8_t>(4 * v);
    }
    return f;
}

Bytes TaggedFrames(int first, int count) {
    std::vector<Frame> frames;
    for (int k = first; k < first + count; ++k) frames.push_back(TaggedFrame(k));
    return JoinFrames(frames);
}

int TagOf(const Frame& frame) {
    if (frame[0] % 4 || frame[1] % 4 || frame[2] % 4) return -1;
    const int k = frame[0] / 4 + kTagBase * (frame[1] / 4) + kTagBase * kTagBase * (frame[2] / 4);
    return TaggedFrame(k) == frame ? k : -1;
}

std::vector<int> PlayedTags(const Bytes& output) {
    std::vector<int> tags;
    for (const Frame& f : SplitFrames(output)) {
        if (!IsSilent(f)) tags.push_back(TagOf(f));
    }
    return tags;
}

std::vector<int> WithoutMadeUp(std::vector<int> tags, long long madeUp) {
    if (std::count(tags.begin(), tags.end(), -1) != madeUp) return tags;
    tags.erase(std::remove(tags.begin(), tags.end(), -1), tags.end());
    return tags;
}

std::vector<Frame> SplitFrames(const Bytes& bytes) {
    std::vector<Frame> frames;
    for (std::size_t at = 0; at < bytes.size(); at += kFrameBytes) {
        Frame f;
        f.fill(kSilence);
        std::size_t n = std::min<std::size_t>(kFrameBytes, bytes.size() - at);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, f.begin());
        frames.push_back(f);
    }
    return frames;
}

Bytes JoinFrames(const std::vector<Frame>& frames) {
    Bytes bytes;
    for (const Frame& f : frames) bytes.insert(bytes.end(), f.begin(), f.end());
    return bytes;
}

bool IsSilent(const Frame& frame) {
    return std::all_of(frame.begin(), frame.end(), [](std::uint8_t v) { return v == kSilence; });
}

Frame ClearLowBits(const Frame& frame) {
    Frame out;
    for (int x = 0; x < kFrameBytes; ++x) out[x] = Clear(frame[x]);
    return out;
}

Frame MixOfTwo(const Frame& a, const Frame& b) {
    Frame out;
    for (int x = 0; x < kFrameBytes; ++x) out[x] = Clear((Clear(a[x]) + Clear(b[x])) / 2);
    return out;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string Comparison::Describe() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%d frames heard, %d of them expected ones in order (%.1f%%); %d expected, %d of "
                  "them heard (%.1f%%); offset %d",
                  heard, matched, 100.0 * Precision(), expected, covered, 100.0 * Coverage(), offset);
    return text;
}

Comparison CompareSingle(const std::vector<Frame>& recorded, const std::vector<Frame>& heard) {
    Comparison c;
    const std::vector<Frame> expected = Cleared(recorded);
    // Where each frame occurs, in ascending order (speech may repeat one).
    std::unordered_map<std::string_view, std::vector<int>> where;
    for (int k = 0; k < static_cast<int>(expected.size()); ++k) {
        if (IsSilent(expected[k])) continue;
        ++c.expected;
        where[Key(expected[k])].push_back(k);
    }
    std::vector<bool> seen(expected.size(), false);
    int last = -1;
    for (const Frame& h : heard) {
        if (IsSilent(h)) continue;
        ++c.heard;
        auto it = where.find(Key(h));
        if (it == where.end()) continue;
        auto next = std::upper_bound(it->second.begin(), it->second.end(), last);
        if (next == it->second.end()) continue;
        last = *next;
        ++c.matched;
        if (!seen[static_cast<std::size_t>(last)]) {
            seen[static_cast<std::size_t>(last)] = true;
            ++c.covered;
        }
    }
    return c;
}

Comparison CompareMix(const std::vector<Frame>& a, const std::vector<Frame>& b,
                      const std::vector<Frame>& heard) {
    Comparison c;
    const std::vector<Frame> ca = Cleared(a);
    const std::vector<Frame> cb = Cleared(b);
    const int na = static_cast<int>(ca.size());
    const int nb = static_cast<int>(cb.size());

    // The offset: heard frames that only one pair of recorded frames gives
    // (up to a few, for speech that repeats a frame) vote for theirs.
    std::map<int, int> votes;
    std::vector<int> offsets;
    for (const Frame& h : heard) {
        if (IsSilent(h)) continue;
        offsets.clear();
        for (int i = 0; i < na && offsets.size() <= 4; ++i) {
            for (int j = 0; j < nb && offsets.size() <= 4; ++j) {
                if (MixesTo(ca[i], cb[j], h)) offsets.push_back(i - j);
            }
        }
        if (offsets.empty() || offsets.size() > 4) continue;
        for (int d : offsets) ++votes[d];
    }
    int best = 0;
    for (const auto& [d, n] : votes) {
        if (n > best) {
            best = n;
            c.offset = d;
        }
    }

    // The mixes heard from the first frame of b on, in order.
    const int first = std::max(0, c.offset);
    const int end = std::max(na, nb + c.offset);
    std::vector<Frame> mixes;
    for (int i = first; i < end; ++i) {
        mixes.push_back(MixOfTwo(At(ca, i), At(cb, i - c.offset)));
        if (!IsSilent(mixes.back())) ++c.expected;
    }
    std::vector<bool> seen(mixes.size(), false);
    int last = -1;
    for (const Frame& h : heard) {
        if (IsSilent(h)) continue;
        ++c.heard;
        for (int i = last + 1; i < static_cast<int>(mixes.size()); ++i) {
            if (mixes[static_cast<std::size_t>(i)] != h) continue;
            last = i;
            ++c.matched;
            if (!seen[static_cast<std::size_t>(i)]) {
                seen[static_cast<std::size_t>(i)] = true;
                ++c.covered;
            }
            break;
        }
    }
    return c;
}

}  // namespace voicecheck
