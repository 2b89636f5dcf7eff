// The server message under assembly, and what a complete one means for the
// client. Lines are folded in one at a time until the empty line that ends the
// message; then Apply works out its effects on the member list and tells the
// dialog what else to do. No widget is involved, so every path can be driven
// by tests and fuzzers directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/member_list.h"
#include "protocol/voice_codec.h"

enum MessageKind : std::int32_t {
    KIND_NONE = 0,
    KIND_LOGIN_SUCCEEDED = 1,
    KIND_LOGIN_FAILED = 2,
    KIND_LOGOUT_SUCCEEDED = 3,
    KIND_DISCONNECTED = 4,
    KIND_MEMBER_LOGIN = 5,
    KIND_MEMBER_LOGOUT = 6,
    KIND_MESSAGE = 7,
    KIND_MEMBER_LIST = 8,
    KIND_SPEAKING_LIST = 9,
    KIND_VOICE_DATA = 10,
};

// What the dialog does with a complete message, in this order: take the
// identity, close the session, rebuild the member view, write the log text,
// play the voice frame, show the notice.
struct MessageOutcome {
    bool takeIdentity = false;
    int id = 0;
    int voicePass = 0;
    bool closeSession = false;
    bool membersChanged = false;
    std::string logText;  // with its "\r\n" line end; empty when nothing is logged
    bool playVoice = false;
    std::string notice;  // message box text, shown after the session is closed
};

// The message log's lines for a member joining, one leaving and a chat
// message, each with its "\r\n" line end.
std::string JoinedLogLine(const std::string& name);
std::string LeftLogLine(const std::string& name);
std::string ChatLogLine(const std::string& name, const std::string& text);

class IncomingMessage {
public:
    MessageKind kind = KIND_NONE;
    int listCount = 0;      // entries a list header announced
    int entriesFilled = 0;  // list entries completed so far
    std::string text;
    // One entry for "login succeeded" and the single-member messages; the
    // completed entries of a list (never more than actually arrived).
    std::vector<int> ids;
    std::vector<std::string> names;
    int voicePass = 0;
    std::array<std::uint8_t, protocol::kVoiceFrameLength> voiceFrame{};
    // The voice line carried a whole payload. A shorter one is dropped.
    bool voiceFrameComplete = false;

    // Empties the record; the voice frame keeps its bytes.
    void Reset();
    // Folds one non-empty line into the record.
    void ParseLine(std::string_view line);
    // The effects of the complete message; changes members where it says so.
    MessageOutcome Apply(MemberList& members) const;

private:
    // ID of the list entry in progress, until its Name line completes it.
    int pendingListId_ = 0;
};
