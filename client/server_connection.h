// The client's connection to the server, without any widget: looking the
// host up and connecting without ever blocking its owner, the receive thread
// that cuts the byte stream into lines, the receive buffer that carries them
// to the owner's thread, the server message those lines are assembled into,
// and every send.
//
// The owner (the session) drives it from its ticks: PollConnect while an
// attempt runs, then TakeLine until the buffer is empty, with ParseLine and
// ResetMessage for what the lines say.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "client/incoming_message.h"
#include "common/net_socket.h"
#include "common/thread_communication_buffer.h"
#include "platform/host_lookup.h"
#include "platform/net.h"
#include "platform/thread.h"

// What receive_thread works with; a member of the connection.
struct ReceiveThreadArgs {
    CNetSocket* socket = nullptr;
    CThreadCommunicationBuffer<std::string>* buffer = nullptr;
    // Set when nobody wants the lines any more (session closed, connection
    // going away): a thread waiting for room in a full buffer gives up.
    std::atomic<bool> stop{false};
    // Called after each empty line (a message's end) is in the buffer; may
    // be empty.
    const std::function<void()>* messageArrived = nullptr;
};

// Reads lines from the connection into the buffer until the connection ends.
std::uint32_t receive_thread(void* argument);

class CServerConnection {
public:
    static constexpr int kReceiveBufferSlots = 30;
    // A host that neither answers nor refuses is given up after this long.
    static constexpr int kConnectTimeLimitMs = 10000;
    // What the system may hold of the server's stream before this client has
    // read it. Fixed, so that a client that stalls (a suspended laptop, a
    // busy window) pushes back to the server, which then drops its oldest
    // voice, instead of letting the system grow the buffer and hand over
    // seconds of old sound when the client reads again. About a second of
    // voice; text is never lost, it only waits at the server.
    static constexpr int kSystemReceiveBytes = 16 * 1024;

    enum class Attempt {
        kNone,          // no attempt under way
        kConnecting,    // looking the host up or connecting
        kConnected,     // connected, receive thread running
        kHostNotFound,  // the name does not resolve (or took too long to)
        kFailed,        // refused, unreachable, or no answer in time
    };

    CServerConnection() = default;
    // Ends an attempt and the connection, and waits for the receive thread.
    ~CServerConnection();
    CServerConnection(const CServerConnection&) = delete;
    CServerConnection& operator=(const CServerConnection&) = delete;

    // Starts looking up the host and connecting to the port; returns at once.
    // A connection still open is closed first.
    void BeginConnect(const std::string& host, int port);
    // Moves the attempt on without waiting. Reports kConnected, kHostNotFound
    // or kFailed once, when the attempt ends; kConnecting while it runs and
    // kNone when there is none. On kConnected a new receive thread reads into
    // an emptied buffer, and the message under assembly is empty.
    Attempt PollConnect();
    // Ends an attempt at once; nothing is reported for it.
    void CancelConnect();
    bool IsConnecting() const { return connecting_; }
    // Called on the receive thread whenever a whole message is waiting, so
    // that the owner can take it at once instead of on its next tick. It
    // must only hand the news on (post an event), never take lines itself.
    // Set it while no connection is open.
    void SetMessageNotifier(std::function<void()> notify) { messageArrived_ = std::move(notify); }
    // For tests: a shorter limit than kConnectTimeLimitMs.
    void SetConnectTimeLimit(int milliseconds) { timeLimitMs_ = milliseconds; }

    // Ends the connection: the receive thread's read fails and it ends on
    // its own; it is joined before anything it uses is renewed.
    void Close();
    // The receive thread of the current (or last) connection has ended.
    bool ReceiveThreadEnded() const;
    // The next line the receive thread delivered, without waiting. An empty
    // string is an empty line (the end of a message).
    bool TakeLine(std::string& line);
    // One send of exactly these bytes; the result is not examined (a broken
    // connection shows as the end of the receive thread).
    void Send(std::string_view bytes);

    // The server message under assembly.
    void ParseLine(std::string_view line) { incoming_.ParseLine(line); }
    void ResetMessage() { incoming_.Reset(); }
    const IncomingMessage& Incoming() const { return incoming_; }
    IncomingMessage& Incoming() { return incoming_; }

private:
    void StartConnect(std::uint32_t address);
    Attempt Settle(Attempt result);
    bool StartReceiving();
    // Stops the receive thread of the last connection (if any) and waits for
    // it, so that nothing else uses the receive buffer or the line buffer.
    void FinishReceiveThread();

    platform::SockAddrIn serverAddress_{};
    CNetSocket socket_;
    CThreadCommunicationBuffer<std::string> receiveBuffer_{kReceiveBufferSlots};
    std::function<void()> messageArrived_;
    ReceiveThreadArgs threadArgs_;
    platform::Thread receiveThread_;
    IncomingMessage incoming_;

    platform::HostLookup lookup_;
    bool connecting_ = false;
    bool socketConnecting_ = false;
    int port_ = 0;
    int timeLimitMs_ = kConnectTimeLimitMs;
    std::chrono::steady_clock::time_point deadline_{};
};
