// One connection slot of the server. While a client is connected the session
// owns the connection and runs a reader thread (client lines -> events for
// master_thread) and a writer thread (shared wire records -> the client). It
// carries bytes only: who the member is (ID, VoicePass, name) is known to
// the Conference alone.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "common/net_socket.h"
#include "common/thread_communication_buffer.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "server/session_event.h"
#include "server/session_outbox.h"
#include "server/session_sender.h"
#include "server/wire_record.h"

using EventBuffer = CThreadCommunicationBuffer<SessionEvent>;

class CSession;

struct SessionWriterParameters {
    SessionSender* sender = nullptr;
    SessionOutbox* outbox = nullptr;
    CSession* session = nullptr;
};

struct SessionReaderParameters {
    CNetSocket* connection = nullptr;
    EventBuffer* events = nullptr;
    CSession* session = nullptr;
    // The connection's number in its session, for every event it posts.
    std::uint64_t connectionNumber = 0;
    // Set when the server shuts down: a reader waiting for room in the event
    // buffer gives up then. Null: wait as long as it takes.
    const std::atomic<bool>* stopping = nullptr;
};

// Sends what waits in the session's outbox, everything found waiting in one
// system call, until "logout succeeded" or "disconnected" has gone out; then
// closes the session.
std::uint32_t session_writer_thread(void* parameters);
// Reads the client's lines and posts an event for each request until the
// client logs out or the connection ends; the last event is always the
// logout.
std::uint32_t session_reader_thread(void* parameters);

class CSession {
public:
    using Clock = std::chrono::steady_clock;
    using SendResult = SessionOutbox::Result;

    explicit CSession(const std::atomic<bool>* stopping = nullptr);
    // Takes no lock and does not stop threads: the owner has made sure that
    // both threads of the last connection have ended (WaitForThreads).
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Takes over the connection when the session is free and starts its two
    // threads. On failure the connection stays with the caller.
    bool Open(std::unique_ptr<CNetSocket>& connection, EventBuffer* eventBuffer);
    // Ends the connection (a thread blocked on it returns) and frees the slot.
    // The writer drops what waits and ends. False when the session was free.
    bool Close();
    // Ends the connection as if the client had gone: the reader reports the
    // end and the session is freed the usual way, once master_thread has
    // answered the logout. The slot stays taken until then.
    void EndConnection();
    bool IsOccupied();
    // Ends the connection (as EndConnection does) when it was taken before
    // cutoff and is not the one numbered spared; test and end are one step.
    // True when it ended one.
    bool EndIfConnectedBefore(Clock::time_point cutoff, std::uint64_t spared = 0);
    // The number of the current (or last) connection: 1 for the first the
    // session took, one more for each after it.
    std::uint64_t ConnectionNumber();
    // Queues a shared record for the writer without waiting: kRefused when
    // the session is free, kOverflow when the client has fallen hopelessly
    // behind (see SessionOutbox). With wakeLater, the writer is woken only
    // by a later WakeWriter; with sendNow the record may go out on the
    // caller's thread (see SessionSender::Offer).
    SendResult SendMessage(const WireRef& record, bool* wakeLater = nullptr, bool sendNow = false);
    void WakeWriter() { outbox_.WakeWriter(); }

    // Waits until both threads of the last connection have ended. Call only
    // once they have been told to end (the writer got its last record and the
    // connection is closed).
    void WaitForThreads();
    SessionOutbox& Outbox() { return outbox_; }

private:
    platform::Thread writerThread_;
    platform::Thread readerThread_;
    SessionWriterParameters writerParameters_;
    SessionReaderParameters readerParameters_;
    platform::Mutex mutex_;
    // Guarded by mutex_.
    bool occupied_ = false;
    Clock::time_point connectedAt_{};
    std::uint64_t connectionNumber_ = 0;
    std::unique_ptr<CNetSocket> connection_;
    EventBuffer* eventBuffer_ = nullptr;
    // Has its own lock: master_thread and the writer meet only there.
    SessionOutbox outbox_;
    SessionSender sender_;
    const std::atomic<bool>* stopping_;
};
