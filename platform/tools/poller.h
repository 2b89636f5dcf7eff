// Readiness polling for single-threaded event loops (the load tool), and the
// few socket calls such a loop needs: non-blocking transfers, quick
// acknowledgements, and a connected local pair for benchmarks and fuzzing.
#pragma once

#include <memory>

#include "platform/net.h"

namespace platform {

struct ReadyEvent {
    void* user = nullptr;
    bool readable = false;
    bool writable = false;
    // The peer hung up or the socket failed; a read tells which.
    bool closed = false;
};

class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    bool IsValid() const { return handle_ >= 0; }
    // Watches s for input, and for room to send when wantWrite is set.
    bool Add(SocketHandle s, void* user, bool wantWrite);
    bool Change(SocketHandle s, void* user, bool wantWrite);
    bool Remove(SocketHandle s);
    // Waits up to timeoutMs (-1: no limit) and fills at most capacity events.
    // The count filled; 0 on time-out or interruption, -1 on failure.
    int Wait(ReadyEvent* events, int capacity, int timeoutMs);

private:
    struct Watches;  // where the system keeps no list of its own
    int handle_ = -1;
    std::unique_ptr<Watches> watches_;
};

// Result of a non-blocking transfer that could move nothing right now.
constexpr int kWouldBlock = -2;

bool SocketSetNonBlocking(SocketHandle s);
// Acknowledge received data at once instead of delaying the ACK. The system
// forgets this after a while, so a loop sets it again after every receive.
bool SocketSetQuickAck(SocketHandle s);
// Bytes received (>0), 0 when the peer closed, kWouldBlock, or kSocketError.
int SocketRecvNow(SocketHandle s, void* buffer, int size);
// Bytes sent (>=0), kWouldBlock, or kSocketError.
int SocketSendNow(SocketHandle s, const void* data, int length);
// Two connected local stream sockets; false when none could be made.
bool SocketPair(SocketHandle pair[2]);
// The process's own id, for reading its own figures.
int CurrentProcessId();

}  // namespace platform
