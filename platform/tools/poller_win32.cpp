#include "platform/tools/poller.h"

#include <winsock2.h>
#include <windows.h>

#include <vector>

namespace platform {

// The system polls a list handed over at each wait, so the poller keeps it.
struct Poller::Watches {
    std::vector<WSAPOLLFD> sockets;
    std::vector<void*> users;

    int Find(SocketHandle s) const {
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (sockets[i].fd == static_cast<::SOCKET>(s)) return static_cast<int>(i);
        }
        return -1;
    }
};

namespace {

::SOCKET Native(SocketHandle s) { return static_cast<::SOCKET>(s); }

SHORT Interest(bool wantWrite) { return static_cast<SHORT>(POLLRDNORM | (wantWrite ? POLLWRNORM : 0)); }

bool Ready(SocketHandle s, SHORT events) {
    WSAPOLLFD p{Native(s), events, 0};
    return ::WSAPoll(&p, 1, 0) > 0;
}

int WouldBlockOr(int r) {
    if (r >= 0) return r;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kSocketError;
}

}  // namespace

Poller::Poller() : handle_(0), watches_(std::make_unique<Watches>()) {}

Poller::~Poller() = default;

bool Poller::Add(SocketHandle s, void* user, bool wantWrite) {
    if (watches_->Find(s) >= 0) return false;
    watches_->sockets.push_back(WSAPOLLFD{Native(s), Interest(wantWrite), 0});
    watches_->users.push_back(user);
    return true;
}

bool Poller::Change(SocketHandle s, void* user, bool wantWrite) {
    int i = watches_->Find(s);
    if (i < 0) return false;
    watches_->sockets[i].events = Interest(wantWrite);
    watches_->users[i] = user;
    return true;
}

bool Poller::Remove(SocketHandle s) {
    int i = watches_->Find(s);
    if (i < 0) return false;
    watches_->sockets.erase(watches_->sockets.begin() + i);
    watches_->users.erase(watches_->users.begin() + i);
    return true;
}

int Poller::Wait(ReadyEvent* events, int capacity, int timeoutMs) {
    auto& list = watches_->sockets;
    if (list.empty()) {
        ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    int n = ::WSAPoll(list.data(), static_cast<ULONG>(list.size()), timeoutMs);
    if (n < 0) return -1;
    int filled = 0;
    for (std::size_t i = 0; i < list.size() && filled < capacity; ++i) {
        SHORT r = list[i].revents;
        if (r == 0) continue;
        ReadyEvent& e = events[filled++];
        e.user = watches_->users[i];
        e.readable = (r & POLLRDNORM) != 0;
        e.writable = (r & POLLWRNORM) != 0;
        e.closed = (r & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return filled;
}

bool SocketSetNonBlocking(SocketHandle s) {
    u_long on = 1;
    return ::ioctlsocket(Native(s), FIONBIO, &on) == 0;
}

bool SocketSetQuickAck(SocketHandle) {
    // No such setting here; acknowledgements follow the system's own timing.
    return true;
}

// The calls below must not wait even on a blocking socket: they look first.
int SocketRecvNow(SocketHandle s, void* buffer, int size) {
    if (size <= 0) return 0;
    if (!Ready(s, POLLRDNORM)) return kWouldBlock;
    return WouldBlockOr(::recv(Native(s), static_cast<char*>(buffer), size, 0));
}

int SocketSendNow(SocketHandle s, const void* data, int length) {
    if (length <= 0) return 0;
    if (!Ready(s, POLLWRNORM)) return kWouldBlock;
    return WouldBlockOr(::send(Native(s), static_cast<const char*>(data), length, 0));
}

bool SocketPair(SocketHandle pair[2]) {
    // No local stream pair here: two ends of a loopback connection instead.
    SocketHandle listener = SocketCreate(kAfInet, kSockStream, 0);
    if (listener == kNoSocket) return false;
    SockAddrIn address;
    address.family = kAfInet;
    address.address = ::htonl(INADDR_LOOPBACK);
    SocketHandle a = kNoSocket;
    SocketHandle b = kNoSocket;
    if (SocketBind(listener, address) == 0 && SocketListen(listener, 1) == 0 &&
        SocketGetName(listener, &address) == 0) {
        a = SocketCreate(kAfInet, kSockStream, 0);
        if (a != kNoSocket && SocketConnect(a, address) == 0) b = SocketAccept(listener, nullptr);
    }
    SocketClose(listener);
    if (b == kNoSocket) {
        if (a != kNoSocket) SocketClose(a);
        return false;
    }
    pair[0] = a;
    pair[1] = b;
    return true;
}

int CurrentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

}  // namespace platform
