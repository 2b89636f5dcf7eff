// Every text of the conference protocol in one place: the keywords both sides
// recognise, the builders that produce the exact bytes, and the recognisers.
//
// A line ends with CR LF and a message with an empty line. Numbers travel as
// five zero-padded decimal digits and are read back like C's atoi.
#pragma once

#include <string>
#include <string_view>

namespace protocol {

inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr std::string_view kMessageEnd = "\r\n\r\n";

// Client to server.
inline constexpr std::string_view kLogin = "login:";
inline constexpr std::string_view kWhoAreLogin = "Who are login?";
inline constexpr std::string_view kMessage = "Message:";
inline constexpr std::string_view kLogout = "logout";
inline constexpr std::string_view kVoiceStart = "Voice Start";
inline constexpr std::string_view kVoiceStop = "Voice Stop";
inline constexpr std::string_view kVoiceData = "Voice Data:";
// Asked once, after "Who are login?": from then on the server sends this
// connection the speaking member list whenever it changes. A server that
// does not know the line ignores it, and a connection that never asks gets
// nothing new.
inline constexpr std::string_view kWhoAreSpeaking = "Who are speaking?";
// Asked once, after the login requests: the server answers this connection
// alone with the most recent relayed "Message:" messages (history.h).
inline constexpr std::string_view kMessageHistory = "Message History?";

// Server to client: first lines.
inline constexpr std::string_view kLoginSucceeded = "login succeeded";
inline constexpr std::string_view kLoginFailed = "login failed";
inline constexpr std::string_view kLogoutSucceeded = "logout succeeded";
inline constexpr std::string_view kDisconnected = "disconnected";
inline constexpr std::string_view kMemberLogin = "Member login";
inline constexpr std::string_view kMemberLogout = "Member logout";
inline constexpr std::string_view kMemberSize = "Member Size:";
inline constexpr std::string_view kSpeakingMemberSize = "Speaking Member Size:";
// Then exactly that many "Message:" messages, oldest first.
inline constexpr std::string_view kMessageHistorySize = "Message History Size:";
// "Message:" and "Voice Data:" travel in both directions.

// Field lines.
inline constexpr std::string_view kId = "ID:";
inline constexpr std::string_view kVoicePass = "VoicePass:";
inline constexpr std::string_view kName = "Name:";

// ---- Builders: client requests, each one whole message. ----
std::string BuildLogin(std::string_view name);
std::string BuildWhoAreLogin();
std::string BuildWhoAreSpeaking();
std::string BuildMessage(std::string_view text);
std::string BuildLogout();
std::string BuildVoiceStart();
std::string BuildVoiceStop();
// payload: the 128 encoded characters of one frame.
std::string BuildVoiceData(std::string_view payload);

// ---- Builders: server messages, appended to out (no allocation once out has
// room). ----
void AppendLoginSucceeded(std::string& out, int id, int voicePass);
void AppendLoginFailed(std::string& out);
void AppendLogoutSucceeded(std::string& out);
void AppendDisconnected(std::string& out);
void AppendMemberLogin(std::string& out, int id, std::string_view name);
void AppendMemberLogout(std::string& out, int id, std::string_view name);
void AppendTextMessage(std::string& out, std::string_view text, int id, std::string_view name);
// A list is its count line, then one entry per member, then the empty line.
void AppendMemberSize(std::string& out, int count);
void AppendSpeakingMemberSize(std::string& out, int count);
void AppendListEntry(std::string& out, int id, std::string_view name);
void AppendListEnd(std::string& out);
void AppendVoiceData(std::string& out, std::string_view payload);

// "%05d": zero-padded to five digits, a minus sign counting as one of them.
void AppendNumber5(std::string& out, int value);

// ---- Recognisers. ----
// The line begins with the keyword, byte for byte (case-sensitive).
bool StartsWith(std::string_view line, std::string_view keyword);
// The line is exactly the keyword.
bool Equals(std::string_view line, std::string_view keyword);
// The rest of a line after its keyword (call only when StartsWith holds).
std::string_view ValueAfter(std::string_view line, std::string_view keyword);
// C's atoi: leading white space, an optional sign, digits up to the first
// non-digit; no digits give 0. Out-of-range values are clamped instead of
// being undefined.
int ParseNumber(std::string_view text);

// What a line from a client asks for. The server handles each line on its
// own; a line that matches nothing is ignored.
enum class ClientRequest {
    kNone,
    kLogin,
    kWhoAreLogin,
    kWhoAreSpeaking,
    kMessage,
    kLogout,
    kVoiceStart,
    kVoiceStop,
    kVoiceData,
};
// value receives the rest of the line for the requests that carry one.
ClientRequest ClassifyClientLine(std::string_view line, std::string_view* value);

// What the first line of a server message announces.
enum class ServerMessage {
    kNone,
    kLoginSucceeded,
    kLoginFailed,
    kLogoutSucceeded,
    kDisconnected,
    kMemberLogin,
    kMemberLogout,
    kMessage,
    kMemberSize,
    kSpeakingMemberSize,
    kVoiceData,
};
ServerMessage ClassifyServerLine(std::string_view line);

}  // namespace protocol
