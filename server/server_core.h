// The server core: the session table, the one event buffer through which
// every session reports to master_thread, the listening socket with
// entry_thread, which hands each accepted connection to the free session with
// the lowest index, and master_thread. It also knows how to end all of that.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/net_socket.h"
#include "platform/thread.h"
#include "protocol/limits.h"
#include "server/master_thread.h"
#include "server/session.h"

struct EntryParameters {
    CSession* const* sessions = nullptr;
    int sessionCount = 0;
    EventBuffer* events = nullptr;
    CNetSocket* listener = nullptr;
    // entry_thread ends once this is set and the listener is closed.
    const std::atomic<bool>* stopping = nullptr;
};

// Probes of TCP keep-alive on every accepted connection: a peer that vanished
// without a word (power cut, cable pulled) is found after the first probe at
// 30 s of silence and 6 unanswered probes 10 s apart, about 90 s, and is
// handled as a lost connection.
inline constexpr int kKeepAliveIdleSeconds = 30;
inline constexpr int kKeepAliveIntervalSeconds = 10;
inline constexpr int kKeepAliveProbes = 6;

// What may wait in the system for one client to make room (what it has not
// acknowledged yet does not count). Kept small so that a client that stops
// reading soon pushes back into its outbox, where old voice gives way first,
// instead of the system keeping seconds of old sound for it; a client that
// reads but acknowledges late is not slowed. Text is not affected: a record
// of any size still goes out whole, the writer waits for room.
inline constexpr int kUnsentBytes = 8 * 1024;

// Accepts connections until stopped. A connection for which no session is
// free gets "login failed" and is closed.
std::uint32_t entry_thread(void* parameters);

class CServerCore {
public:
    static constexpr int kDefaultSessions = protocol::kMaxMembers;
    static constexpr int kEventSlots = 256;
    static constexpr int kBacklog = 10;

    // 0 sessions means 25.
    explicit CServerCore(int sessionCount = kDefaultSessions);
    // Shuts down first when that has not been done.
    ~CServerCore();
    CServerCore(const CServerCore&) = delete;
    CServerCore& operator=(const CServerCore&) = delete;

    // Binds and listens on the port on every local address, then starts
    // entry_thread and master_thread. Once it returns true, connections are
    // being taken. False, with StartError() telling why, when the port cannot
    // be bound or listened on or a thread cannot be started; nothing then
    // runs.
    bool Start(std::uint16_t port);
    // How long a connection may stay without logging in (kLoginLimitMs
    // unless set); 0 or less: no limit. Only before Start.
    void SetLoginLimit(int milliseconds) { loginLimitMs_ = milliseconds; }
    // How many relayed messages are kept for members who ask what was said
    // before they came (MessageHistory::kDefaultLimit unless set). Only
    // before Start.
    void SetHistoryLimit(int messages) { historyLimit_ = messages; }
    const std::string& StartError() const { return startError_; }

    // Queues "disconnected" for every connected client. Returns 1.
    int DisconnectAll();

    // Ends the server in order: no more connections are taken, every
    // connected client is sent "disconnected" (a client that does not read
    // gets a short grace), every connection is closed, and every thread is
    // stopped and waited for. Safe to call twice.
    void Shutdown();

    int SessionCount() const { return static_cast<int>(sessionTable_.size()); }
    CSession& Session(int index) { return *sessionTable_[static_cast<std::size_t>(index)]; }

private:
    void StopEntryThread();
    void StopMasterThread();

    EventBuffer events_{kEventSlots};
    // Before the sessions: records waiting in them go back here when they
    // are destroyed.
    WireRecordPool pool_;
    std::atomic<bool> disconnecting_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> entryStopping_{false};
    std::vector<std::unique_ptr<CSession>> sessions_;
    std::vector<CSession*> sessionTable_;
    std::unique_ptr<CNetSocket> listener_;
    EntryParameters entryParameters_;
    MasterParameters masterParameters_;
    platform::Thread entryThread_;
    platform::Thread masterThread_;
    int loginLimitMs_ = kLoginLimitMs;
    int historyLimit_ = MessageHistory::kDefaultLimit;
    bool started_ = false;
    bool shutDown_ = false;
    std::string startError_;
};
