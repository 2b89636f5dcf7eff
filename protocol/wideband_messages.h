// The wideband voice exchange: a client asks once with
// "Voice Codec:opus\r\n\r\n"; a server that speaks it answers that connection
// alone with "Voice Codec:opus\r\nRate:48000\r\nFrame:10\r\n\r\n", and from
// then on the connection's voice travels both ways as
// "Opus Data:NNNNN:<base64>\r\n\r\n", one line per 10 ms Opus packet.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/base64.h"
#include "protocol/messages.h"

namespace protocol {

// The sound the exchange carries: mono, 48,000 samples per second, 10 ms
// (480 samples) per packet.
inline constexpr int kWidebandRate = 48000;
inline constexpr int kWidebandFrameMs = 10;
inline constexpr int kWidebandFrameSamples = kWidebandRate / 1000 * kWidebandFrameMs;

// Largest packet taken: Opus's top bit rate (510 kbit/s) at 10 ms is
// 638 bytes. The line that carries it stays well under the server's line
// limit, so a line the reader had to cut is never taken for a packet.
inline constexpr int kMaxOpusPacketBytes = 640;
// "Opus Data:" + five digits + ":" before the packet.
inline constexpr int kOpusDataHeadLength = static_cast<int>(kOpusData.size()) + 6;
inline constexpr int kMaxOpusDataLineLength =
    kOpusDataHeadLength + static_cast<int>(Base64Length(kMaxOpusPacketBytes));
static_assert(kMaxOpusDataLineLength < 998);

// Bytes one "Opus Data:" message takes on the wire, line end and empty line
// included, for a packet of n bytes.
constexpr int OpusDataMessageBytes(int n) {
    return kOpusDataHeadLength + static_cast<int>(Base64Length(static_cast<std::size_t>(n))) +
           static_cast<int>(kMessageEnd.size());
}

// Client to server.
std::string BuildVoiceCodecRequest();
// Server to client: the answer to the request.
void AppendVoiceCodecAnswer(std::string& out);
// One packet, both directions. sequence is taken modulo 100000.
void AppendOpusData(std::string& out, int sequence, std::span<const std::uint8_t> packet);
// The same with the packet already in base64, for a packet that goes to many
// connections under different sequence numbers.
void AppendOpusDataEncoded(std::string& out, int sequence, std::string_view base64);

// One received packet.
struct OpusData {
    int sequence = 0;
    std::string packet;
};
// Reads the value of an "Opus Data:" line (what follows the keyword):
// exactly five digits, ":", then the base64 of 1 to kMaxOpusPacketBytes
// bytes, nothing else. False for anything else, a line longer than any
// packet needs included.
bool ParseOpusDataValue(std::string_view value, OpusData& out);
// The same for a whole line, keyword included.
bool ParseOpusDataLine(std::string_view line, OpusData& out);

// What a client line asks for among the wideband requests; the other
// requests are ClassifyClientLine's.
enum class WidebandRequest {
    kNone,
    kVoiceCodec,  // the line is exactly "Voice Codec:opus"
    kOpusData,    // starts with "Opus Data:"; value receives the rest
};
WidebandRequest ClassifyWidebandClientLine(std::string_view line, std::string_view* value);

// The first line of a server message among the wideband ones.
enum class WidebandMessage {
    kNone,
    kVoiceCodec,  // "Voice Codec:opus": the answer; fields Rate and Frame follow
    kOpusData,    // "Opus Data:" packet
};
WidebandMessage ClassifyWidebandServerLine(std::string_view line);

// The lines of one server message (empty line not included) are the answer
// this client can use: "Voice Codec:opus", then "Rate:48000" and
// "Frame:10" in either order.
bool IsVoiceCodecAnswer(std::span<const std::string_view> lines);

}  // namespace protocol
