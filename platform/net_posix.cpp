#include "platform/net.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/net_native.h"

namespace platform {
namespace {

int Result(int r) { return r < 0 ? kSocketError : r; }

}  // namespace

void StartSockets() {}

SocketHandle SocketCreate(int family, int type, int protocol) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return fd < 0 ? kNoSocket : fd;
}

SocketHandle SocketAccept(SocketHandle s, SockAddrIn* peer) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    int fd;
    do {
        fd = ::accept4(Native(s), reinterpret_cast<sockaddr*>(&n), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoSocket;
    SetNoDelay(fd);
    if (peer) *peer = FromNative(n);
    return fd;
}

int SocketConnect(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    int r;
    do {
        r = ::connect(Native(s), reinterpret_cast<sockaddr*>(&n), sizeof n);
    } while (r < 0 && errno == EINTR);
    if (r != 0) return kSocketError;
    SetNoDelay(Native(s));
    return 0;
}

int SocketConnectStart(SocketHandle s, const SockAddrIn& addr) {
    int flags = ::fcntl(Native(s), F_GETFL);
    if (flags < 0 || ::fcntl(Native(s), F_SETFL, flags | O_NONBLOCK) != 0) return kSocketError;
    sockaddr_in n = ToNative(addr);
    int r;
    do {
        r = ::connect(Native(s), reinterpret_cast<sockaddr*>(&n), sizeof n);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return SocketConnectPoll(s);
    // EINTR above means the connection goes on in the background as well.
    return (errno == EINPROGRESS || errno == EALREADY) ? kConnectPending : kSocketError;
}

int SocketConnectPoll(SocketHandle s) {
    pollfd p{};
    p.fd = Native(s);
    p.events = POLLOUT;
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return kSocketError;
    if (ready == 0) return kConnectPending;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return kSocketError;
    int flags = ::fcntl(Native(s), F_GETFL);
    if (flags < 0 || ::fcntl(Native(s), F_SETFL, flags & ~O_NONBLOCK) != 0) return kSocketError;
    SetNoDelay(Native(s));
    return 0;
}

int SocketSend(SocketHandle s, const void* data, int length) {
    if (length <= 0) return 0;
    ssize_t r;
    do {
        r = ::send(Native(s), data, static_cast<size_t>(length), kSendFlags);
    } while (r < 0 && errno == EINTR);
    return Result(static_cast<int>(r));
}

int SocketRecv(SocketHandle s, void* buffer, int size) {
    if (size <= 0) return 0;
    ssize_t r;
    do {
        r = ::recv(Native(s), buffer, static_cast<size_t>(size), 0);
    } while (r < 0 && errno == EINTR);
    return Result(static_cast<int>(r));
}

int SocketShutdown(SocketHandle s) {
    // A peer that already went away leaves the socket unconnected; that is
    // not a failure of ours.
    if (::shutdown(Native(s), SHUT_RDWR) == 0 || errno == ENOTCONN) return 0;
    return kSocketError;
}

int SocketClose(SocketHandle s) { return ::close(Native(s)) == 0 ? 0 : kSocketError; }

bool SocketSetSendTimeout(SocketHandle s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

long long SocketSendPieces(SocketHandle s, const SendPiece* pieces, int count, bool wait) {
    if (count <= 0) return 0;
    if (count > kMaxSendPieces) count = kMaxSendPieces;
    static_assert(kMaxSendPieces <= IOV_MAX);
    iovec vectors[kMaxSendPieces];
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void*>(pieces[i].data);
        vectors[i].iov_len = pieces[i].length;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t r;
    do {
        r = ::sendmsg(Native(s), &message, kSendFlags | (wait ? 0 : MSG_DONTWAIT));
    } while (r < 0 && errno == EINTR);
    if (r < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return r < 0 ? kSocketError : static_cast<long long>(r);
}

bool SocketSetKeepAlive(SocketHandle s, int idleSeconds, int intervalSeconds, int count) {
    int one = 1;
    bool ok = ::setsockopt(Native(s), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
    ok = ::setsockopt(Native(s), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
    ok = ::setsockopt(Native(s), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 && ok;
    ok = ::setsockopt(Native(s), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
    return ok;
}

bool SocketGetKeepAlive(SocketHandle s, KeepAliveSettings* settings) {
    auto read = [s](int level, int name, int* value) {
        socklen_t length = sizeof *value;
        return ::getsockopt(Native(s), level, name, value, &length) == 0;
    };
    int enabled = 0;
    KeepAliveSettings got;
    if (!read(SOL_SOCKET, SO_KEEPALIVE, &enabled) || !read(IPPROTO_TCP, TCP_KEEPIDLE, &got.idleSeconds) ||
        !read(IPPROTO_TCP, TCP_KEEPINTVL, &got.intervalSeconds) || !read(IPPROTO_TCP, TCP_KEEPCNT, &got.count)) {
        return false;
    }
    got.enabled = enabled != 0;
    *settings = got;
    return true;
}

bool SocketSetUnsentLimit(SocketHandle s, int bytes) {
#ifdef TCP_NOTSENT_LOWAT
    return ::setsockopt(Native(s), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) == 0;
#else
    return SocketSetBuffers(s, bytes, 0);
#endif
}

bool SocketSetReuseAddress(SocketHandle s) {
    int one = 1;
    return ::setsockopt(Native(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

int SocketLastError() { return errno; }

std::string SocketErrorText(int code) {
    char buf[256];
    // The GNU strerror_r returns the text, which may or may not be buf.
    const char* text = ::strerror_r(code, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error");
}

}  // namespace platform
