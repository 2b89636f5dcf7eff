#include "protocol/history.h"

#include <algorithm>

#include "protocol/messages.h"

namespace protocol {

std::string BuildMessageHistory() {
    std::string out(kMessageHistory);
    out.append(kMessageEnd);
    return out;
}

void AppendMessageHistorySize(std::string& out, int count) {
    out.append(kMessageHistorySize);
    AppendNumber5(out, count);
    out.append(kMessageEnd);
}

bool IsMessageHistoryRequest(std::string_view line) { return Equals(line, kMessageHistory); }

bool ParseMessageHistorySize(std::string_view line, int* count) {
    if (!StartsWith(line, kMessageHistorySize)) return false;
    // A count the server cannot have meant would make every later message
    // count as history.
    *count = std::clamp(ParseNumber(ValueAfter(line, kMessageHistorySize)), 0, kMaxHistorySize);
    return true;
}

}  // namespace protocol
