#include "platform/tools/poller.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

// The system keeps the watch list itself.
struct Poller::Watches {};

namespace {

int Fd(SocketHandle s) { return static_cast<int>(s); }

bool Control(int handle, int op, SocketHandle s, void* user, bool wantWrite) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP | (wantWrite ? EPOLLOUT : 0u);
    e.data.ptr = user;
    return ::epoll_ctl(handle, op, Fd(s), &e) == 0;
}

}  // namespace

Poller::Poller() : handle_(::epoll_create1(EPOLL_CLOEXEC)) {}

Poller::~Poller() {
    if (handle_ >= 0) ::close(handle_);
}

bool Poller::Add(SocketHandle s, void* user, bool wantWrite) { return Control(handle_, EPOLL_CTL_ADD, s, user, wantWrite); }

bool Poller::Change(SocketHandle s, void* user, bool wantWrite) {
    return Control(handle_, EPOLL_CTL_MOD, s, user, wantWrite);
}

bool Poller::Remove(SocketHandle s) {
    epoll_event e{};
    return ::epoll_ctl(handle_, EPOLL_CTL_DEL, Fd(s), &e) == 0;
}

int Poller::Wait(ReadyEvent* events, int capacity, int timeoutMs) {
    constexpr int kMax = 256;
    epoll_event native[kMax];
    if (capacity > kMax) capacity = kMax;
    int n = ::epoll_wait(handle_, native, capacity, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        events[i].user = native[i].data.ptr;
        events[i].readable = (native[i].events & EPOLLIN) != 0;
        events[i].writable = (native[i].events & EPOLLOUT) != 0;
        events[i].closed = (native[i].events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
    }
    return n;
}

bool SocketSetNonBlocking(SocketHandle s) {
    int flags = ::fcntl(Fd(s), F_GETFL, 0);
    return flags >= 0 && ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SocketSetQuickAck(SocketHandle s) {
    int one = 1;
    return ::setsockopt(Fd(s), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one) == 0;
}

int SocketRecvNow(SocketHandle s, void* buffer, int size) {
    if (size <= 0) return 0;
    ssize_t r;
    do {
        r = ::recv(Fd(s), buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : kSocketError;
    return static_cast<int>(r);
}

int SocketSendNow(SocketHandle s, const void* data, int length) {
    if (length <= 0) return 0;
    ssize_t r;
    do {
        r = ::send(Fd(s), data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : kSocketError;
    return static_cast<int>(r);
}

bool SocketPair(SocketHandle pair[2]) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    pair[0] = fds[0];
    pair[1] = fds[1];
    return true;
}

int CurrentProcessId() { return static_cast<int>(::getpid()); }

}  // namespace platform
