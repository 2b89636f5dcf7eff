#include "client/server_connection.h"

#include <array>

namespace {

constexpr int kMaxLineLength = 9999;
// How long a receive thread waits for room in a full buffer before it looks
// whether its lines are still wanted.
constexpr int kStopPollMs = 50;
// The thread lingers this long after the connection ends, so that the
// owner's ticks handle its last lines before its end is noticed.
constexpr int kLingerMs = 50;

}  // namespace

std::uint32_t receive_thread(void* argument) {
    auto* args = static_cast<ReceiveThreadArgs*>(argument);
    std::array<char, kMaxLineLength + 1> line;
    for (;;) {
        int length = args->socket->ReceiveLine(line.data(), kMaxLineLength);
        if (length < 0) break;
        std::string text(line.data());
        const bool messageEnd = text.empty();
        while (!args->buffer->SendWithin(text, kStopPollMs)) {
            if (args->stop.load()) return 0;
        }
        if (messageEnd && *args->messageArrived) (*args->messageArrived)();
    }
    if (!args->stop.load()) platform::SleepMs(kLingerMs);
    return 0;
}

CServerConnection::~CServerConnection() {
    CancelConnect();
    Close();
    FinishReceiveThread();
}

void CServerConnection::BeginConnect(const std::string& host, int port) {
    CancelConnect();
    Close();
    port_ = port;
    connecting_ = true;
    socketConnecting_ = false;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs_);
    lookup_.Start(host);
}

void CServerConnection::StartConnect(std::uint32_t address) {
    // The last connection's thread has seen its socket closed; it is gone
    // before its socket and line buffer are renewed. A new socket starts with
    // an empty line buffer: bytes of a line the last connection left
    // unfinished do not stand before the new lines.
    FinishReceiveThread();
    socket_.Create(platform::kAfInet, platform::kSockStream, 0);
    // Before connecting: the window the connection offers is settled then.
    platform::SocketSetBuffers(socket_.Handle(), 0, kSystemReceiveBytes);
    serverAddress_ = platform::SockAddrIn{};
    serverAddress_.family = platform::kAfInet;
    serverAddress_.address = address;
    serverAddress_.port = platform::HostToNetShort(static_cast<std::uint16_t>(port_));
    socketConnecting_ = true;
}

CServerConnection::Attempt CServerConnection::PollConnect() {
    if (!connecting_) return Attempt::kNone;
    const bool late = std::chrono::steady_clock::now() >= deadline_;
    if (!socketConnecting_) {
        std::uint32_t address = 0;
        switch (lookup_.Poll(&address)) {
            case platform::HostLookup::Result::kFound: {
                StartConnect(address);
                int started = platform::SocketConnectStart(socket_.Handle(), serverAddress_);
                if (started == platform::kSocketError) return Settle(Attempt::kFailed);
                if (started == 0) return Settle(StartReceiving() ? Attempt::kConnected : Attempt::kFailed);
                break;
            }
            case platform::HostLookup::Result::kPending:
                // A resolver that does not answer in time counts as one
                // that found nothing.
                return late ? Settle(Attempt::kHostNotFound) : Attempt::kConnecting;
            case platform::HostLookup::Result::kIdle:
            case platform::HostLookup::Result::kNotFound:
                return Settle(Attempt::kHostNotFound);
        }
    }
    int state = platform::SocketConnectPoll(socket_.Handle());
    if (state == 0) return Settle(StartReceiving() ? Attempt::kConnected : Attempt::kFailed);
    if (state == platform::kSocketError || late) return Settle(Attempt::kFailed);
    return Attempt::kConnecting;
}

CServerConnection::Attempt CServerConnection::Settle(Attempt result) {
    connecting_ = false;
    socketConnecting_ = false;
    lookup_.Cancel();
    if (result != Attempt::kConnected) socket_.Close();
    return result;
}

void CServerConnection::CancelConnect() {
    if (!connecting_) return;
    Settle(Attempt::kFailed);
}

bool CServerConnection::StartReceiving() {
    // Nothing of the last connection carries over: neither its unread lines
    // nor a message it left half assembled.
    receiveBuffer_.Reset();
    incoming_.Reset();
    threadArgs_.socket = &socket_;
    threadArgs_.buffer = &receiveBuffer_;
    threadArgs_.stop.store(false);
    threadArgs_.messageArrived = &messageArrived_;
    receiveThread_ = platform::Thread::Start(&receive_thread, &threadArgs_);
    // Without a reader no reply could be seen: that is no connection.
    return receiveThread_.IsValid();
}

void CServerConnection::Close() {
    threadArgs_.stop.store(true);
    socket_.Close();
}

void CServerConnection::FinishReceiveThread() {
    threadArgs_.stop.store(true);
    receiveThread_.Join();
}

bool CServerConnection::ReceiveThreadEnded() const {
    return receiveThread_.ExitCode() != platform::kStillActive;
}

bool CServerConnection::TakeLine(std::string& line) { return receiveBuffer_.Receive(line, 0) != 0; }

void CServerConnection::Send(std::string_view bytes) {
    socket_.Send(bytes.data(), static_cast<int>(bytes.size()));
}
