// What was said before a member came: the most recent relayed "Message:"
// records, kept as the very records that went to everyone (shared, not
// copied), so that the history repeats the bytes that were relayed, with the
// sender's ID and name as they were then. Kept in memory only; the oldest
// goes first once the limit is reached. Not synchronised: its owner, the one
// thread that decides for the conference, is its only user.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/wire_record.h"

class MessageHistory {
public:
    static constexpr int kDefaultLimit = 50;
    // The most a history may keep. Its whole answer, at the longest records
    // a client can make relay, stays within half of the text a connection
    // may have waiting (SessionOutbox::kMaxTextBytes), so that asking never
    // makes a joiner count as a client that does not read; it also bounds
    // the memory the history holds to about half a megabyte.
    static constexpr int kMaxLimit = 400;
    // The environment variable that sets the limit.
    static constexpr std::string_view kLimitVariable = "ORVANE_HISTORY";

    // A limit outside 0 to kMaxLimit is taken as the nearest of the two.
    explicit MessageHistory(int limit = kDefaultLimit);
    MessageHistory(const MessageHistory&) = delete;
    MessageHistory& operator=(const MessageHistory&) = delete;

    int Limit() const { return limit_; }
    int Size() const { return static_cast<int>(count_); }

    // Keeps a relayed text message (code EV_MESSAGE); the oldest kept one
    // goes when the history is full. Anything else, and everything with a
    // limit of 0, is not kept: false.
    bool Record(const WireRef& relayed);

    // The answer to "Message History?", appended to out in the order it is
    // sent: the size record (from pool when given), then the kept records,
    // oldest first.
    void AppendAnswer(std::vector<WireRef>& out, WireRecordPool* pool = nullptr) const;

private:
    int limit_;
    // A ring of limit_ slots; the oldest kept record is at head_.
    std::vector<WireRef> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// The limit the setting asks for: the value of ORVANE_HISTORY, null when it
// is not set. Unset or empty: the default. A whole decimal number (blanks
// around it allowed) from 0 to kMaxLimit is taken as it is; a larger one is
// cut to kMaxLimit. Anything else keeps the default. Either way the operator
// is told on standard error what was taken instead, and the server starts.
int HistoryLimitFromSetting(const char* value);
// The same, without the telling: the text that would be told, empty when
// the value is taken as it is.
int HistoryLimitFromSetting(const char* value, std::string* problem);
