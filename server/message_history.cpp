#include "server/message_history.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "protocol/history.h"
#include "protocol/limits.h"
#include "protocol/messages.h"
#include "server/record_codes.h"
#include "server/session_outbox.h"

namespace {

// The longest record a relay can make: the longest text a line carries, the
// longest name kept, an ID of five digits.
constexpr std::size_t kLongestRelayedBytes = protocol::kMessage.size() +
                                             (protocol::kMaxLineLength - protocol::kMessage.size()) +
                                             protocol::kLineEnd.size() + protocol::kId.size() + 5 +
                                             protocol::kLineEnd.size() + protocol::kName.size() +
                                             protocol::kMaxNameLength + protocol::kMessageEnd.size();
static_assert(MessageHistory::kMaxLimit * kLongestRelayedBytes <= SessionOutbox::kMaxTextBytes / 2,
              "a full history's answer must leave room in a connection's text bound");
static_assert(MessageHistory::kMaxLimit <= protocol::kMaxHistorySize);

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

MessageHistory::MessageHistory(int limit)
    : limit_(std::clamp(limit, 0, kMaxLimit)), slots_(static_cast<std::size_t>(limit_)) {}

bool MessageHistory::Record(const WireRef& relayed) {
    if (limit_ == 0 || !relayed || relayed->code != EV_MESSAGE) return false;
    const std::size_t capacity = slots_.size();
    if (count_ < capacity) {
        slots_[(head_ + count_) % capacity] = relayed;
        ++count_;
    } else {
        // Full: the newest takes the oldest's slot, which becomes the end.
        slots_[head_] = relayed;
        head_ = (head_ + 1) % capacity;
    }
    return true;
}

void MessageHistory::AppendAnswer(std::vector<WireRef>& out, WireRecordPool* pool) const {
    WireRef size = WireRef::Make(pool);
    size.Edit().code = MSG_MESSAGE_HISTORY;
    protocol::AppendMessageHistorySize(size.Edit().bytes, Size());
    out.push_back(std::move(size));
    for (std::size_t i = 0; i < count_; ++i) out.push_back(slots_[(head_ + i) % slots_.size()]);
}

int HistoryLimitFromSetting(const char* value, std::string* problem) {
    problem->clear();
    if (!value || !*value) return MessageHistory::kDefaultLimit;
    const std::string_view shown(value);
    const std::string_view digits = TrimBlanks(shown);
    const std::string quoted = std::string(MessageHistory::kLimitVariable) + "=\"" + std::string(shown) + "\"";
    unsigned long long number = 0;
    const char* end = digits.data() + digits.size();
    auto [stop, error] = std::from_chars(digits.data(), end, number);
    const bool allDigits = !digits.empty() && digits.front() != '-' && stop == end;
    if (allDigits && error == std::errc{} && number <= static_cast<unsigned long long>(MessageHistory::kMaxLimit)) {
        return static_cast<int>(number);
    }
    if (allDigits && (error == std::errc::result_out_of_range || error == std::errc{})) {
        *problem = quoted + " is more than the server keeps; keeping the last " +
                   std::to_string(MessageHistory::kMaxLimit) + " messages";
        return MessageHistory::kMaxLimit;
    }
    *problem = quoted + " is not a number from 0 to " + std::to_string(MessageHistory::kMaxLimit) +
               "; keeping the last " + std::to_string(MessageHistory::kDefaultLimit) + " messages";
    return MessageHistory::kDefaultLimit;
}

int HistoryLimitFromSetting(const char* value) {
    std::string problem;
    int limit = HistoryLimitFromSetting(value, &problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "Orvane: %s\n", problem.c_str());
        std::fflush(stderr);
    }
    return limit;
}
