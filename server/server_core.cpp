#include "server/server_core.h"

#include <chrono>

#include "protocol/messages.h"
#include "server/record_codes.h"

namespace {

// How long shutdown lets writers deliver "disconnected" before it closes the
// connections of clients that do not read.
constexpr int kDisconnectGraceMs = 500;
// Pause before accepting again after a failed accept (a descriptor shortage,
// say), so that a lasting failure does not spin.
constexpr int kAcceptRetryMs = 10;

}  // namespace

std::uint32_t entry_thread(void* argument) {
    auto* p = static_cast<EntryParameters*>(argument);
    std::string loginFailed;
    protocol::AppendLoginFailed(loginFailed);
    while (!p->stopping->load()) {
        std::unique_ptr<CNetSocket> connection = p->listener->Accept(nullptr);
        if (!connection) {
            if (!p->stopping->load()) platform::SleepMs(kAcceptRetryMs);
            continue;
        }
        platform::SocketSetKeepAlive(connection->Handle(), kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds,
                                     kKeepAliveProbes);
        platform::SocketSetUnsentLimit(connection->Handle(), kUnsentBytes);
        bool taken = false;
        for (int i = 0; i < p->sessionCount && !taken; ++i) taken = p->sessions[i]->Open(connection, p->events);
        if (!taken) {
            connection->Send(loginFailed.data(), static_cast<int>(loginFailed.size()));
            connection->Close();
        }
    }
    return 0;
}

CServerCore::CServerCore(int sessionCount) {
    if (sessionCount <= 0) sessionCount = kDefaultSessions;
    for (int i = 0; i < sessionCount; ++i) {
        sessions_.push_back(std::make_unique<CSession>(&stopping_));
        sessionTable_.push_back(sessions_.back().get());
    }
}

CServerCore::~CServerCore() { Shutdown(); }

bool CServerCore::Start(std::uint16_t port) {
    if (started_ || shutDown_) {
        startError_ = "the server core was started already";
        return false;
    }
    // Bound and listening before anyone is told that the server runs.
    listener_ = std::make_unique<CNetSocket>(platform::kAfInet, platform::kSockStream, 0);
    platform::SocketSetReuseAddress(listener_->Handle());
    platform::SockAddrIn address;
    address.family = platform::kAfInet;
    address.port = platform::HostToNetShort(port);
    address.address = platform::kInaddrAny;
    if (listener_->Bind(address) != 0) {
        int error = platform::SocketLastError();
        startError_ = "残念ながらこのソケットはすでに使用されています。 (port " + std::to_string(port) + ": " +
                      platform::SocketErrorText(error) + ")";
        listener_.reset();
        return false;
    }
    if (listener_->Listen(kBacklog) != 0) {
        int error = platform::SocketLastError();
        startError_ = "Socket Listen Error (port " + std::to_string(port) + ": " + platform::SocketErrorText(error) + ")";
        listener_.reset();
        return false;
    }

    // master_thread first: should entry_thread fail to start, no session has
    // been opened yet and stopping is simple.
    masterParameters_ = {sessionTable_.data(), SessionCount(), &events_, &disconnecting_, &stopping_, &pool_,
                         loginLimitMs_, historyLimit_};
    masterThread_ = platform::Thread::Start(&master_thread, &masterParameters_);
    if (!masterThread_.IsValid()) {
        startError_ = "master_thread create err";
        listener_.reset();
        return false;
    }
    // Best effort: without the privilege it keeps the normal priority.
    masterThread_.RaisePriority();
    entryParameters_ = {sessionTable_.data(), SessionCount(), &events_, listener_.get(), &entryStopping_};
    entryThread_ = platform::Thread::Start(&entry_thread, &entryParameters_);
    if (!entryThread_.IsValid()) {
        startError_ = "entry_thread create err";
        StopMasterThread();
        listener_.reset();
        return false;
    }
    started_ = true;
    return true;
}

int CServerCore::DisconnectAll() {
    OutgoingMessage message;
    message.code = MSG_DISCONNECTED;
    WireRef record = WireRef::Format(message, &pool_);
    for (CSession* s : sessionTable_) s->SendMessage(record);
    return 1;
}

void CServerCore::StopEntryThread() {
    entryStopping_.store(true);
    // Shutting the listener down makes a blocked accept fail, and every later
    // one too, so entry_thread sees the flag.
    if (listener_) listener_->Close();
    entryThread_.Join();
}

void CServerCore::StopMasterThread() {
    stopping_.store(true);
    // Wakes master_thread now rather than at its next look at the flag.
    events_.SendWithin(SessionEvent(), 0);
    masterThread_.Join();
}

void CServerCore::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (!started_) return;

    // No new connection may take a slot that is being emptied.
    StopEntryThread();

    disconnecting_.store(true);
    DisconnectAll();
    // Writers of clients that read deliver "disconnected" and close their
    // sessions at once; a writer stuck on a client that does not read is
    // released by closing its connection below.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDisconnectGraceMs);
    for (;;) {
        bool anyOpen = false;
        for (CSession* s : sessionTable_) anyOpen = anyOpen || s->IsOccupied();
        if (!anyOpen || std::chrono::steady_clock::now() >= deadline) break;
        platform::SleepMs(5);
    }
    for (CSession* s : sessionTable_) s->Close();

    // Readers now find their connections ended; those waiting for room in the
    // event buffer, and master_thread, see the flag.
    stopping_.store(true);
    for (CSession* s : sessionTable_) s->WaitForThreads();
    StopMasterThread();
    listener_.reset();
}
