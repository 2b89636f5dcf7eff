#include "protocol/wideband_messages.h"

#include "protocol/voice_sequence.h"

namespace protocol {
namespace {

constexpr std::string_view kRequestLine = "Voice Codec:opus";
constexpr std::string_view kRateLine = "Rate:48000";
constexpr std::string_view kFrameLine = "Frame:10";

void AppendSequence(std::string& out, int sequence) {
    int value = ((sequence % kSequenceModulus) + kSequenceModulus) % kSequenceModulus;
    char digits[5];
    for (int i = 4; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
    out.append(digits, 5);
}

}  // namespace

std::string BuildVoiceCodecRequest() {
    std::string out;
    out.append(kRequestLine).append(kMessageEnd);
    return out;
}

void AppendVoiceCodecAnswer(std::string& out) {
    out.append(kRequestLine).append(kLineEnd);
    out.append(kRateLine).append(kLineEnd);
    out.append(kFrameLine).append(kLineEnd);
    out.append(kLineEnd);
}

void AppendOpusDataEncoded(std::string& out, int sequence, std::string_view base64) {
    out.append(kOpusData);
    AppendSequence(out, sequence);
    out.push_back(':');
    out.append(base64).append(kMessageEnd);
}

void AppendOpusData(std::string& out, int sequence, std::span<const std::uint8_t> packet) {
    out.append(kOpusData);
    AppendSequence(out, sequence);
    out.push_back(':');
    AppendBase64(out, packet);
    out.append(kMessageEnd);
}

bool ParseOpusDataValue(std::string_view value, OpusData& out) {
    constexpr std::size_t kDigits = 5;
    if (value.size() > static_cast<std::size_t>(kMaxOpusDataLineLength - kOpusData.size())) return false;
    if (value.size() <= kDigits + 1 || value[kDigits] != ':') return false;
    int sequence = 0;
    for (std::size_t i = 0; i < kDigits; ++i) {
        if (value[i] < '0' || value[i] > '9') return false;
        sequence = sequence * 10 + (value[i] - '0');
    }
    if (!DecodeBase64(value.substr(kDigits + 1), out.packet)) return false;
    if (out.packet.empty() || out.packet.size() > static_cast<std::size_t>(kMaxOpusPacketBytes)) return false;
    out.sequence = sequence;
    return true;
}

bool ParseOpusDataLine(std::string_view line, OpusData& out) {
    return StartsWith(line, kOpusData) && ParseOpusDataValue(ValueAfter(line, kOpusData), out);
}

WidebandRequest ClassifyWidebandClientLine(std::string_view line, std::string_view* value) {
    if (Equals(line, kRequestLine)) return WidebandRequest::kVoiceCodec;
    if (StartsWith(line, kOpusData)) {
        if (value) *value = ValueAfter(line, kOpusData);
        return WidebandRequest::kOpusData;
    }
    return WidebandRequest::kNone;
}

WidebandMessage ClassifyWidebandServerLine(std::string_view line) {
    if (Equals(line, kRequestLine)) return WidebandMessage::kVoiceCodec;
    if (StartsWith(line, kOpusData)) return WidebandMessage::kOpusData;
    return WidebandMessage::kNone;
}

bool IsVoiceCodecAnswer(std::span<const std::string_view> lines) {
    if (lines.size() != 3 || lines[0] != kRequestLine) return false;
    return (lines[1] == kRateLine && lines[2] == kFrameLine) || (lines[1] == kFrameLine && lines[2] == kRateLine);
}

}  // namespace protocol
