#include "server/session.h"

CSession::CSession(const std::atomic<bool>* stopping) : stopping_(stopping) {}

CSession::~CSession() = default;

bool CSession::Open(std::unique_ptr<CNetSocket>& connection, EventBuffer* eventBuffer) {
    static constexpr const char* kError = "mutex error at CSession::Open";
    {
        platform::MutexLock lock(mutex_, kError);
        if (occupied_) return false;
    }

    // The previous connection's threads finish right after freeing the slot;
    // make sure they are gone before their connection and outbox are reused.
    // Done outside the lock, which they may still be leaving.
    writerThread_.Join();
    readerThread_.Join();

    bool started = false;
    {
        platform::MutexLock lock(mutex_, kError);
        connection_ = std::move(connection);
        connectedAt_ = Clock::now();
        ++connectionNumber_;
        eventBuffer_ = eventBuffer;
        sender_.Open(connection_.get());
        outbox_.Open();

        writerParameters_ = {&sender_, &outbox_, this};
        writerThread_ = platform::Thread::Start(&session_writer_thread, &writerParameters_);
        if (writerThread_.IsValid()) {
            readerParameters_ = {connection_.get(), eventBuffer_, this, connectionNumber_, stopping_};
            readerThread_ = platform::Thread::Start(&session_reader_thread, &readerParameters_);
        }
        started = writerThread_.IsValid() && readerThread_.IsValid();
        if (started) {
            occupied_ = true;
        } else {
            // A lone writer must not outlive this attempt: closing the outbox
            // makes it leave at once without touching the connection.
            sender_.Close(outbox_);
            connection = std::move(connection_);
        }
    }
    if (!started) writerThread_.Join();
    return started;
}

bool CSession::Close() {
    platform::MutexLock lock(mutex_, "mutex error at CSession::Close");
    if (!occupied_) return false;
    // The CNetSocket object stays until the next Open or destruction, so a
    // thread still holding a pointer to it never meets freed memory.
    connection_->Close();
    occupied_ = false;
    // Lets a writer that was not told to end by a record leave as well (a
    // writer closing its own session has left its loop already), and waits
    // for a direct send under way: none touches the connection after this.
    sender_.Close(outbox_);
    return true;
}

void CSession::EndConnection() {
    platform::MutexLock lock(mutex_, "mutex error at CSession::EndConnection");
    if (occupied_) connection_->Close();
}

bool CSession::IsOccupied() {
    platform::MutexLock lock(mutex_, "mutex error at CSession::IsOccupied");
    return occupied_;
}

bool CSession::EndIfConnectedBefore(Clock::time_point cutoff, std::uint64_t spared) {
    platform::MutexLock lock(mutex_, "mutex error at CSession::EndIfConnectedBefore");
    if (!occupied_ || connectionNumber_ == spared || connectedAt_ > cutoff) return false;
    connection_->Close();
    return true;
}

std::uint64_t CSession::ConnectionNumber() {
    platform::MutexLock lock(mutex_, "mutex error at CSession::ConnectionNumber");
    return connectionNumber_;
}

CSession::SendResult CSession::SendMessage(const WireRef& record, bool* wakeLater, bool sendNow) {
    return sendNow ? sender_.Offer(outbox_, record, wakeLater) : outbox_.Push(record, wakeLater);
}

void CSession::WaitForThreads() {
    writerThread_.Join();
    readerThread_.Join();
}
