// Helpers for tests that run the real server program and talk to it over
// loopback TCP with raw protocol bytes. Every wait is bounded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/net_socket.h"
#include "platform/tools/poller.h"
#include "platform/tools/process.h"

namespace servertest {

// Generous bounds: the tests also run under the sanitizers on a busy machine.
inline constexpr int kWaitMs = 20000;

// The lines the server prints once it takes connections.
inline constexpr std::string_view kStartedLine = "Please press <Enter> to terminate it.\n";

// The server program under test: the one built here, or the one the
// environment names in ORVANE_SERVER. ORVANE_SERVER_RUNNER, when set, is a
// command (words split at spaces) that runs it, such as an emulator.
std::string ServerBinary();
// Starts the server program under test with these arguments.
// environment: extra "NAME=value" entries for the server.
bool StartServer(platform::ChildProcess& child, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});

// A port that was free a moment ago (the system chose it).
std::uint16_t FreePort();

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    // A server still running is killed.
    ~ServerProcess() = default;

    // Starts the server on a free port and waits for its started lines.
    // Another program taking the port in between is retried with a new one.
    bool Start();
    // The same, with extra "NAME=value" entries in the server's environment.
    bool Start(const std::vector<std::string>& environment);
    // Starts the server with these arguments and, when given, this text on
    // its standard input; does not wait for anything.
    bool StartWith(const std::vector<std::string>& arguments, const std::string& input = "");
    // Reads standard output until it holds the text.
    bool WaitForOutput(std::string_view text, int timeoutMs = kWaitMs);

    std::uint16_t Port() const { return port_; }
    platform::ChildProcess& Child() { return child_; }
    // Standard output read so far.
    const std::string& Output() const { return output_; }
    // Standard error, read until the stream ends or the time is up.
    std::string ErrorOutput(int timeoutMs = kWaitMs);

    bool PressEnter() { return child_.WriteInput("\n"); }
    // The exit code, or -1 when the program did not end in time.
    int WaitForExit(int timeoutMs = kWaitMs);

private:
    platform::ChildProcess child_;
    std::uint16_t port_ = 0;
    std::string output_;
};

// One client connection that sends raw bytes and reads whole messages.
class RawClient {
public:
    RawClient() = default;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // receiveBufferBytes, when given, fixes what the system may hold for
    // this side (otherwise the system lets it grow while nothing is read).
    bool Connect(std::uint16_t port, int receiveBufferBytes = 0);
    // What the system says it holds for this side at most, or -1.
    int ReceiveBufferBytes() const;
    // Sends every byte (bounded by a send time-out).
    bool Send(std::string_view bytes);
    // The next message: every byte up to and including the first empty line
    // ("\r\n\r\n"). False when none arrived in time or the server closed first.
    bool ReadMessage(std::string* message, int timeoutMs = kWaitMs);
    // The same, with "" standing for no message.
    std::string NextMessage(int timeoutMs = kWaitMs);
    // Reads messages until one equals expected; false when none did in time.
    // Used where earlier messages (announcements of others) do not matter.
    bool SkipUntil(std::string_view expected, int timeoutMs = kWaitMs);
    // True when the server ended the connection within the time. Bytes that
    // arrive meanwhile are kept (see Pending) when rest is null.
    bool WaitForClose(int timeoutMs = kWaitMs, std::string* rest = nullptr);
    // Bytes received but not yet returned as a message.
    const std::string& Pending() const { return buffer_; }
    bool IsClosedByServer() const { return closed_; }
    // Ends this side of the connection.
    void Close();

    // Sends "login:" + name and reads the reply; the member ID, or -1 when
    // the reply is not "login succeeded". Announcements about others that
    // were sent to everyone just before are skipped; the "Member login" that
    // follows is left unread.
    int Login(std::string_view name);

private:
    // Waits up to timeoutMs for bytes and appends them; false on time-out or
    // when the server closed.
    bool Fill(int timeoutMs);

    std::unique_ptr<CNetSocket> socket_;
    std::unique_ptr<platform::Poller> poller_;
    std::string buffer_;
    bool closed_ = false;
};

// Expected bytes, built independently of the server's own formatting.
std::string LoginSucceededText(int id, int voicePass);
std::string MemberLoginText(int id, std::string_view name);
std::string MemberLogoutText(int id, std::string_view name);
std::string MessageText(std::string_view text, int id, std::string_view name);
// entries: (ID, name) in the order the list should give them.
std::string MemberListText(const std::vector<std::pair<int, std::string>>& entries);
std::string SpeakingListText(const std::vector<std::pair<int, std::string>>& entries);
std::string VoiceDataText(std::string_view payload);

// A 128-character payload whose every sample encodes value.
std::string UniformPayload(std::uint8_t value);

}  // namespace servertest
