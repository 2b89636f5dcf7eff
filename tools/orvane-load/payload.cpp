#include "payload.h"

#include "protocol/voice_codec.h"

namespace load {
namespace {

void AppendDigits(std::string& out, std::int64_t value, int width) {
    char digits[24];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<size_t>(width));
}

bool ReadDigits(std::string_view text, size_t at, int width, std::int64_t* value) {
    std::int64_t v = 0;
    for (int i = 0; i < width; ++i) {
        char c = text[at + static_cast<size_t>(i)];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

constexpr int kRoundDigits = 4;  // four 6-bit digits: 16.7 million rounds

int DigitOf(char c) { return protocol::DecodeCharacter(static_cast<std::uint8_t>(c)) >> 2; }
char CharOf(int digit) { return protocol::EncodeSample(static_cast<std::uint8_t>(digit << 2)); }

}  // namespace

void AppendText(std::string& out, int sender, std::int64_t sequence, std::int64_t sentMicros, int size) {
    size_t start = out.size();
    out += '#';
    AppendDigits(out, sender, 3);
    out += '.';
    AppendDigits(out, sequence, 9);
    out += '.';
    AppendDigits(out, sentMicros, 14);
    out += '.';
    size_t written = out.size() - start;
    if (static_cast<size_t>(size) > written) out.append(static_cast<size_t>(size) - written, 'x');
}

bool ParseText(std::string_view text, TextStamp* stamp) {
    if (text.size() < kTextHeaderLength || text[0] != '#' || text[4] != '.' || text[14] != '.' || text[29] != '.') {
        return false;
    }
    std::int64_t sender;
    if (!ReadDigits(text, 1, 3, &sender) || !ReadDigits(text, 5, 9, &stamp->sequence) ||
        !ReadDigits(text, 15, 14, &stamp->sentMicros)) {
        return false;
    }
    stamp->sender = static_cast<int>(sender);
    return true;
}

// Each round travels as its digits, their complements and 48 bits of a hash
// of the round: an average of different rounds breaks at least one of them.
constexpr int kHashDigits = 8;

static std::uint64_t RoundHash(std::int64_t round) {
    auto z = static_cast<std::uint64_t>(round) + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static int HashDigit(std::uint64_t hash, int i) { return static_cast<int>((hash >> (6 * i)) & 63); }

void AppendVoicePayload(std::string& out, std::int64_t round) {
    char payload[protocol::kVoiceFrameLength];
    const char silence = protocol::EncodeSample(protocol::kSilence);
    for (char& c : payload) c = silence;
    for (int i = 0; i < kRoundDigits; ++i) {
        int digit = static_cast<int>((round >> (6 * i)) & 63);
        payload[i] = CharOf(digit);
        payload[kRoundDigits + i] = CharOf(63 - digit);
    }
    const std::uint64_t hash = RoundHash(round);
    for (int i = 0; i < kHashDigits; ++i) payload[2 * kRoundDigits + i] = CharOf(HashDigit(hash, i));
    out.append(payload, sizeof payload);
}

std::int64_t ParseVoicePayload(std::string_view payload) {
    if (payload.size() < static_cast<size_t>(protocol::kVoiceFrameLength)) return -1;
    std::int64_t round = 0;
    for (int i = 0; i < kRoundDigits; ++i) {
        int digit = DigitOf(payload[static_cast<size_t>(i)]);
        if (63 - digit != DigitOf(payload[static_cast<size_t>(kRoundDigits + i)])) return -1;
        round |= static_cast<std::int64_t>(digit) << (6 * i);
    }
    const std::uint64_t hash = RoundHash(round);
    for (int i = 0; i < kHashDigits; ++i) {
        if (DigitOf(payload[static_cast<size_t>(2 * kRoundDigits + i)]) != HashDigit(hash, i)) return -1;
    }
    return round;
}

}  // namespace load
