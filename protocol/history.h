// The message history exchange: a client that wants to see what was said
// before it came asks once, after its login requests,
//
//     Message History?\r\n\r\n
//
// and the server answers that connection alone with
//
//     Message History Size:NNNNN\r\n\r\n
//
// followed by exactly NNNNN "Message:" messages, oldest first, each the very
// bytes that were relayed then. A server that does not know the request
// ignores it; a connection that never asks receives nothing new.
#pragma once

#include <string>
#include <string_view>

namespace protocol {

// The most a history answer can announce: its count has five digits.
inline constexpr int kMaxHistorySize = 99999;

std::string BuildMessageHistory();
// The answer's first message: "Message History Size:" + five digits + the
// empty line.
void AppendMessageHistorySize(std::string& out, int count);

// The client's line is the request, byte for byte.
bool IsMessageHistoryRequest(std::string_view line);
// A server line that begins the answer: true, with *count the number of
// messages that follow, read like every number and kept within 0 to
// kMaxHistorySize.
bool ParseMessageHistorySize(std::string_view line, int* count);

}  // namespace protocol
