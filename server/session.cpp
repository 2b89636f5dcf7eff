#include "server/session.h"

#include "platform/message_box.h"
#include "server/record_codes.h"

CSession::CSession(const std::atomic<bool>* stopping) : stopping_(stopping) {}

CSession::~CSession() = default;

void CSession::Lock(const char* error) {
    if (!mutex_.Wait(platform::kWaitForever)) platform::Fatal(error);
}

void CSession::Unlock(const char* error) {
    if (!mutex_.Release()) platform::Fatal(error);
}

bool CSession::Open(std::unique_ptr<CNetSocket>& connection, EventBuffer* eventBuffer) {
    static constexpr const char* kError = "mutex error at CSession::Open";
    Lock(kError);
    bool busy = occupied_;
    Unlock(kError);
    if (busy) return false;

    // The previous connection's threads finish right after freeing the slot;
    // make sure they are gone before their connection and buffer are reused.
    // Done outside the lock, which they may still be leaving.
    writerThread_.Join();
    readerThread_.Join();

    Lock(kError);
    id_ = 0;
    voicePass_ = 0;
    hasName_ = false;
    name_.clear();
    leaving_ = false;
    connection_ = std::move(connection);
    outgoing_.Reset();
    eventBuffer_ = eventBuffer;

    writerParameters_ = {connection_.get(), &outgoing_, this};
    writerThread_ = platform::Thread::Start(&session_writer_thread, &writerParameters_);
    if (writerThread_.IsValid()) {
        readerParameters_ = {connection_.get(), eventBuffer_, this, stopping_};
        readerThread_ = platform::Thread::Start(&session_reader_thread, &readerParameters_);
    }
    bool started = writerThread_.IsValid() && readerThread_.IsValid();
    if (started) {
        occupied_ = true;
    } else {
        if (writerThread_.IsValid()) {
            // The lone writer must not outlive this attempt: it leaves at
            // once without touching the connection.
            OutgoingMessage stop;
            stop.code = MSG_WRITER_STOP;
            outgoing_.Send(stop, 0);
        }
        connection = std::move(connection_);
    }
    Unlock(kError);
    if (!started) writerThread_.Join();
    return started;
}

bool CSession::Close() {
    static constexpr const char* kError = "mutex error at CSession::Close";
    Lock(kError);
    bool wasOccupied = occupied_;
    if (wasOccupied) {
        // The CNetSocket object stays until the next Open or destruction, so
        // a thread still holding a pointer to it never meets freed memory.
        connection_->Close();
        occupied_ = false;
        // Lets a writer that was not told to end by a record leave as well
        // (a writer closing its own session has left its loop already).
        OutgoingMessage stop;
        stop.code = MSG_WRITER_STOP;
        outgoing_.Send(stop, 0);
    }
    Unlock(kError);
    return wasOccupied;
}

void CSession::SetID(int id) {
    static constexpr const char* kError = "mutex error at CSession::SetID";
    Lock(kError);
    if (occupied_ && id_ == 0) id_ = id;
    Unlock(kError);
}

void CSession::SetVoicePass(int voicePass) {
    static constexpr const char* kError = "mutex error at CSession::SetVoicePass";
    Lock(kError);
    if (occupied_ && voicePass_ == 0) voicePass_ = voicePass;
    Unlock(kError);
}

void CSession::SetName(std::string_view name) {
    static constexpr const char* kError = "mutex error at CSession::SetName";
    Lock(kError);
    if (occupied_ && !hasName_) {
        name_.assign(name.substr(0, kNameLength));
        hasName_ = true;
    }
    Unlock(kError);
}

void CSession::SetLeaving() {
    static constexpr const char* kError = "mutex error at CSession::SetLeaving";
    Lock(kError);
    leaving_ = true;
    Unlock(kError);
}

bool CSession::GetID(int* id) {
    static constexpr const char* kError = "mutex error at CSession::GetID";
    Lock(kError);
    *id = id_;
    bool held = occupied_ && !leaving_ && id_ != 0;
    Unlock(kError);
    return held;
}

bool CSession::GetVoicePass(int* voicePass) {
    static constexpr const char* kError = "mutex error at CSession::GetVoicePass";
    Lock(kError);
    *voicePass = voicePass_;
    bool held = occupied_ && voicePass_ != 0;
    Unlock(kError);
    return held;
}

bool CSession::GetName(std::string* name, int n) {
    static constexpr const char* kError = "mutex error at CSession::GetName";
    Lock(kError);
    bool result = false;
    if (hasName_) {
        name->assign(name_, 0, static_cast<std::size_t>(n < 0 ? 0 : n));
        result = occupied_ && !leaving_;
    }
    Unlock(kError);
    return result;
}

bool CSession::IsOccupied() {
    static constexpr const char* kError = "mutex error at CSession::IsOccupied";
    Lock(kError);
    bool occupied = occupied_;
    Unlock(kError);
    return occupied;
}

bool CSession::SendMessage(const OutgoingMessage& message) {
    static constexpr const char* kError = "mutex error at CSession::SendMessage";
    Lock(kError);
    bool sent = false;
    if (occupied_) {
        bool ending = message.code == MSG_LOGOUT_SUCCEEDED || message.code == MSG_DISCONNECTED ||
                      message.code == MSG_WRITER_STOP;
        bool room = ending || outgoing_.FreeSlots() > kEndingSlots;
        // Never waits: the lock is held, and a client that stops reading must
        // not hold up the thread that sends to everyone.
        if (room) sent = outgoing_.Send(message, 0) == 1;
    }
    Unlock(kError);
    return sent;
}

void CSession::WaitForThreads() {
    writerThread_.Join();
    readerThread_.Join();
}
