#include "server/server_process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/net.h"
#include "protocol/voice_codec.h"
#include "support/loopback.h"

namespace servertest {
namespace {

constexpr int kStartAttempts = 5;
constexpr const char* kBindFailure = "残念ながらこのソケットはすでに使用されています。";

std::string Format(const char* format, int value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string ServerBinary() {
    const char* other = std::getenv("ORVANE_SERVER");
    return other && *other ? other : ORVANE_BINARY;
}

bool StartServer(platform::ChildProcess& child, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment) {
    const char* runner = std::getenv("ORVANE_SERVER_RUNNER");
    if (!runner || !*runner) return child.Start(ServerBinary(), arguments, environment);
    // The runner's words, then the server and its arguments.
    std::vector<std::string> words;
    std::istringstream split(runner);
    for (std::string word; split >> word;) words.push_back(word);
    std::vector<std::string> rest(words.begin() + 1, words.end());
    rest.push_back(ServerBinary());
    rest.insert(rest.end(), arguments.begin(), arguments.end());
    return child.Start(words.front(), rest, environment);
}

std::uint16_t FreePort() {
    std::uint16_t port = 0;
    auto listener = testsupport::ListenOnFreePort(&port);
    return port;  // the listener closes here; the port stays free for a moment
}

bool ServerProcess::Start() { return Start({}); }

bool ServerProcess::Start(const std::vector<std::string>& environment) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        port_ = FreePort();
        output_.clear();
        if (!StartServer(child_, {std::to_string(port_)}, environment)) return false;
        if (WaitForOutput(kStartedLine)) return true;
        int code = WaitForExit(kWaitMs);
        if (code != 1 || ErrorOutput().find(kBindFailure) == std::string::npos) return false;
        // Someone took the port between our look and the server's bind.
    }
    return false;
}

bool ServerProcess::StartWith(const std::vector<std::string>& arguments, const std::string& input) {
    output_.clear();
    if (!StartServer(child_, arguments)) return false;
    return input.empty() || child_.WriteInput(input);
}

bool ServerProcess::WaitForOutput(std::string_view text, int timeoutMs) {
    return child_.WaitForOutput(std::string(text), timeoutMs, &output_);
}

std::string ServerProcess::ErrorOutput(int timeoutMs) {
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (child_.ReadError(&text, MsLeft(deadline) < 100 ? MsLeft(deadline) : 100)) {
        if (MsLeft(deadline) == 0) break;
    }
    return text;
}

int ServerProcess::WaitForExit(int timeoutMs) {
    int code = -1;
    if (!child_.Wait(timeoutMs, &code)) return -1;
    // Whatever it printed last.
    child_.ReadOutput(&output_, 0);
    return code;
}

bool RawClient::Connect(std::uint16_t port, int receiveBufferBytes) {
    socket_ = std::make_unique<CNetSocket>(platform::kAfInet, platform::kSockStream, 0);
    if (receiveBufferBytes > 0) platform::SocketSetBuffers(socket_->Handle(), 0, receiveBufferBytes);
    if (socket_->Connect(testsupport::LoopbackAddress(port)) != 0) return false;
    platform::SocketSetSendTimeout(socket_->Handle(), kWaitMs);
    poller_ = std::make_unique<platform::Poller>();
    buffer_.clear();
    closed_ = false;
    return poller_->Add(socket_->Handle(), this, false);
}

int RawClient::ReceiveBufferBytes() const {
    int send = 0;
    int receive = 0;
    return socket_ && platform::SocketBufferSizes(socket_->Handle(), &send, &receive) ? receive : -1;
}

bool RawClient::Send(std::string_view bytes) {
    if (!socket_) return false;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int r = socket_->Send(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (r <= 0) return false;
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

bool RawClient::Fill(int timeoutMs) {
    if (!socket_ || closed_) return false;
    platform::ReadyEvent event;
    if (poller_->Wait(&event, 1, timeoutMs) <= 0) return false;
    char bytes[65536];
    int r = platform::SocketRecvNow(socket_->Handle(), bytes, sizeof bytes);
    if (r == platform::kWouldBlock) return true;
    if (r <= 0) {
        closed_ = true;
        return false;
    }
    buffer_.append(bytes, static_cast<std::size_t>(r));
    return true;
}

bool RawClient::ReadMessage(std::string* message, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t end = buffer_.find("\r\n\r\n");
        if (end != std::string::npos) {
            *message = buffer_.substr(0, end + 4);
            buffer_.erase(0, end + 4);
            return true;
        }
        int left = MsLeft(deadline);
        if (left == 0 || !Fill(left)) {
            if (closed_ || MsLeft(deadline) == 0) return false;
        }
    }
}

std::string RawClient::NextMessage(int timeoutMs) {
    std::string message;
    return ReadMessage(&message, timeoutMs) ? message : std::string();
}

bool RawClient::SkipUntil(std::string_view expected, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string message;
    while (ReadMessage(&message, MsLeft(deadline))) {
        if (message == expected) return true;
    }
    return false;
}

bool RawClient::WaitForClose(int timeoutMs, std::string* rest) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!closed_ && MsLeft(deadline) > 0) Fill(MsLeft(deadline));
    if (rest) {
        rest->append(buffer_);
        buffer_.clear();
    }
    return closed_;
}

void RawClient::Close() {
    poller_.reset();
    socket_.reset();
}

int RawClient::Login(std::string_view name) {
    if (!Send("login:" + std::string(name) + "\r\n\r\n")) return -1;
    std::string reply;
    // An announcement made to everyone just before this login was handled
    // may come first; it is not the reply.
    do {
        if (!ReadMessage(&reply)) return -1;
    } while (reply.rfind("Member login\r\n", 0) == 0 || reply.rfind("Member logout\r\n", 0) == 0);
    if (reply.rfind("login succeeded\r\nID:", 0) != 0) return -1;
    return std::atoi(reply.c_str() + std::string_view("login succeeded\r\nID:").size());
}

std::string LoginSucceededText(int id, int voicePass) {
    return "login succeeded\r\n" + Format("ID:%05d\r\n", id) + Format("VoicePass:%05d\r\n", voicePass) + "\r\n";
}

std::string MemberLoginText(int id, std::string_view name) {
    return "Member login\r\n" + Format("ID:%05d\r\n", id) + "Name:" + std::string(name) + "\r\n\r\n";
}

std::string MemberLogoutText(int id, std::string_view name) {
    return "Member logout\r\n" + Format("ID:%05d\r\n", id) + "Name:" + std::string(name) + "\r\n\r\n";
}

std::string MessageText(std::string_view text, int id, std::string_view name) {
    return "Message:" + std::string(text) + "\r\n" + Format("ID:%05d\r\n", id) + "Name:" + std::string(name) +
           "\r\n\r\n";
}

std::string MemberListText(const std::vector<std::pair<int, std::string>>& entries) {
    std::string text = Format("Member Size:%05d\r\n", static_cast<int>(entries.size()));
    for (const auto& [id, name] : entries) text += Format("ID:%05d\r\n", id) + "Name:" + name + "\r\n";
    return text + "\r\n";
}

std::string SpeakingListText(const std::vector<std::pair<int, std::string>>& entries) {
    return "Speaking " + MemberListText(entries);
}

std::string VoiceDataText(std::string_view payload) { return "Voice Data:" + std::string(payload) + "\r\n\r\n"; }

std::string UniformPayload(std::uint8_t value) {
    return std::string(static_cast<std::size_t>(protocol::kVoiceFrameLength), protocol::EncodeSample(value));
}

}  // namespace servertest
