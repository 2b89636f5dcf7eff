#include "protocol/messages.h"

#include <climits>

namespace protocol {
namespace {

std::string Request(std::string_view keyword, std::string_view value = {}) {
    std::string out;
    out.reserve(keyword.size() + value.size() + kMessageEnd.size());
    out.append(keyword).append(value).append(kMessageEnd);
    return out;
}

void AppendField(std::string& out, std::string_view keyword, std::string_view value) {
    out.append(keyword).append(value).append(kLineEnd);
}

void AppendNumberField(std::string& out, std::string_view keyword, int value) {
    out.append(keyword);
    AppendNumber5(out, value);
    out.append(kLineEnd);
}

// A message whose first line is the keyword, then ID and Name, then the end.
void AppendAnnouncement(std::string& out, std::string_view first, int id, std::string_view name) {
    out.append(first).append(kLineEnd);
    AppendNumberField(out, kId, id);
    AppendField(out, kName, name);
    out.append(kLineEnd);
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::string BuildLogin(std::string_view name) { return Request(kLogin, name); }
std::string BuildWhoAreLogin() { return Request(kWhoAreLogin); }
std::string BuildWhoAreSpeaking() { return Request(kWhoAreSpeaking); }
std::string BuildMessage(std::string_view text) { return Request(kMessage, text); }
std::string BuildLogout() { return Request(kLogout); }
std::string BuildVoiceStart() { return Request(kVoiceStart); }
std::string BuildVoiceStop() { return Request(kVoiceStop); }
std::string BuildVoiceData(std::string_view payload) { return Request(kVoiceData, payload); }

void AppendNumber5(std::string& out, int value) {
    char digits[16];
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int width = value < 0 ? n + 1 : n;
    if (value < 0) out.push_back('-');
    for (; width < 5; ++width) out.push_back('0');
    while (n > 0) out.push_back(digits[--n]);
}

void AppendLoginSucceeded(std::string& out, int id, int voicePass) {
    out.append(kLoginSucceeded).append(kLineEnd);
    AppendNumberField(out, kId, id);
    AppendNumberField(out, kVoicePass, voicePass);
    out.append(kLineEnd);
}

void AppendLoginFailed(std::string& out) { out.append(kLoginFailed).append(kMessageEnd); }
void AppendLogoutSucceeded(std::string& out) { out.append(kLogoutSucceeded).append(kMessageEnd); }
void AppendDisconnected(std::string& out) { out.append(kDisconnected).append(kMessageEnd); }

void AppendMemberLogin(std::string& out, int id, std::string_view name) {
    AppendAnnouncement(out, kMemberLogin, id, name);
}

void AppendMemberLogout(std::string& out, int id, std::string_view name) {
    AppendAnnouncement(out, kMemberLogout, id, name);
}

void AppendTextMessage(std::string& out, std::string_view text, int id, std::string_view name) {
    AppendField(out, kMessage, text);
    AppendNumberField(out, kId, id);
    AppendField(out, kName, name);
    out.append(kLineEnd);
}

void AppendMemberSize(std::string& out, int count) { AppendNumberField(out, kMemberSize, count); }

void AppendSpeakingMemberSize(std::string& out, int count) {
    AppendNumberField(out, kSpeakingMemberSize, count);
}

void AppendListEntry(std::string& out, int id, std::string_view name) {
    AppendNumberField(out, kId, id);
    AppendField(out, kName, name);
}

void AppendListEnd(std::string& out) { out.append(kLineEnd); }

void AppendVoiceData(std::string& out, std::string_view payload) {
    out.append(kVoiceData).append(payload).append(kMessageEnd);
}

bool StartsWith(std::string_view line, std::string_view keyword) {
    return line.size() >= keyword.size() && line.compare(0, keyword.size(), keyword) == 0;
}

bool Equals(std::string_view line, std::string_view keyword) { return line == keyword; }

std::string_view ValueAfter(std::string_view line, std::string_view keyword) {
    return line.size() >= keyword.size() ? line.substr(keyword.size()) : std::string_view{};
}

int ParseNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[i] - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

ClientRequest ClassifyClientLine(std::string_view line, std::string_view* value) {
    auto with = [&](std::string_view keyword, ClientRequest kind) {
        if (value) *value = ValueAfter(line, keyword);
        return kind;
    };
    if (StartsWith(line, kLogin)) return with(kLogin, ClientRequest::kLogin);
    if (Equals(line, kWhoAreLogin)) return ClientRequest::kWhoAreLogin;
    if (Equals(line, kWhoAreSpeaking)) return ClientRequest::kWhoAreSpeaking;
    if (StartsWith(line, kMessage)) return with(kMessage, ClientRequest::kMessage);
    if (Equals(line, kLogout)) return ClientRequest::kLogout;
    if (Equals(line, kVoiceStart)) return ClientRequest::kVoiceStart;
    if (Equals(line, kVoiceStop)) return ClientRequest::kVoiceStop;
    if (StartsWith(line, kVoiceData)) return with(kVoiceData, ClientRequest::kVoiceData);
    if (Equals(line, kMessageHistory)) return ClientRequest::kMessageHistory;
    return ClientRequest::kNone;
}

ServerMessage ClassifyServerLine(std::string_view line) {
    // "Speaking Member Size:" before anything shorter it could be taken for;
    // the keywords are otherwise distinct in their first bytes.
    if (StartsWith(line, kLoginSucceeded)) return ServerMessage::kLoginSucceeded;
    if (StartsWith(line, kLoginFailed)) return ServerMessage::kLoginFailed;
    if (StartsWith(line, kLogoutSucceeded)) return ServerMessage::kLogoutSucceeded;
    if (StartsWith(line, kDisconnected)) return ServerMessage::kDisconnected;
    if (StartsWith(line, kMemberLogout)) return ServerMessage::kMemberLogout;
    if (StartsWith(line, kMemberLogin)) return ServerMessage::kMemberLogin;
    if (StartsWith(line, kMessage)) return ServerMessage::kMessage;
    if (StartsWith(line, kSpeakingMemberSize)) return ServerMessage::kSpeakingMemberSize;
    if (StartsWith(line, kMemberSize)) return ServerMessage::kMemberSize;
    if (StartsWith(line, kVoiceData)) return ServerMessage::kVoiceData;
    return ServerMessage::kNone;
}

}  // namespace protocol
