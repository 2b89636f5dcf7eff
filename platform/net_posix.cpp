#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform {
namespace {

sockaddr_in ToNative(const SockAddrIn& a) {
    sockaddr_in n{};
    n.sin_family = static_cast<sa_family_t>(a.family);
    n.sin_port = a.port;
    n.sin_addr.s_addr = a.address;
    return n;
}

SockAddrIn FromNative(const sockaddr_in& n) {
    SockAddrIn a;
    a.family = n.sin_family;
    a.port = n.sin_port;
    a.address = n.sin_addr.s_addr;
    return a;
}

int Fd(SOCKET s) { return static_cast<int>(s); }

void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int Result(int r) { return r < 0 ? SOCKET_ERROR : r; }

}  // namespace

std::uint16_t HostToNetShort(std::uint16_t v) { return htons(v); }
std::uint16_t NetToHostShort(std::uint16_t v) { return ntohs(v); }

SOCKET SocketCreate(int family, int type, int protocol) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return fd < 0 ? INVALID_SOCKET : fd;
}

int SocketBind(SOCKET s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    return ::bind(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0 ? 0 : SOCKET_ERROR;
}

int SocketListen(SOCKET s, int backlog) {
    return ::listen(Fd(s), backlog) == 0 ? 0 : SOCKET_ERROR;
}

SOCKET SocketAccept(SOCKET s, SockAddrIn* peer) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    int fd;
    do {
        fd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&n), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_SOCKET;
    SetNoDelay(fd);
    if (peer) *peer = FromNative(n);
    return fd;
}

int SocketConnect(SOCKET s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    int r;
    do {
        r = ::connect(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n);
    } while (r < 0 && errno == EINTR);
    if (r != 0) return SOCKET_ERROR;
    SetNoDelay(Fd(s));
    return 0;
}

int SocketConnectStart(SOCKET s, const SockAddrIn& addr) {
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) != 0) return SOCKET_ERROR;
    sockaddr_in n = ToNative(addr);
    int r;
    do {
        r = ::connect(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return SocketConnectPoll(s);
    // EINTR above means the connection goes on in the background as well.
    return (errno == EINPROGRESS || errno == EALREADY) ? kConnectPending : SOCKET_ERROR;
}

int SocketConnectPoll(SOCKET s) {
    pollfd p{};
    p.fd = Fd(s);
    p.events = POLLOUT;
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return SOCKET_ERROR;
    if (ready == 0) return kConnectPending;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return SOCKET_ERROR;
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags & ~O_NONBLOCK) != 0) return SOCKET_ERROR;
    SetNoDelay(Fd(s));
    return 0;
}

int SocketGetName(SOCKET s, SockAddrIn* addr) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return SOCKET_ERROR;
    if (addr) *addr = FromNative(n);
    return 0;
}

int SocketSend(SOCKET s, const void* data, int length) {
    if (length <= 0) return 0;
    ssize_t r;
    do {
        r = ::send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return Result(static_cast<int>(r));
}

int SocketSendTo(SOCKET s, const void* data, int length, const SockAddrIn& to) {
    sockaddr_in n = ToNative(to);
    ssize_t r = ::sendto(Fd(s), data, static_cast<size_t>(length > 0 ? length : 0), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&n), sizeof n);
    return Result(static_cast<int>(r));
}

int SocketRecv(SOCKET s, void* buffer, int size) {
    if (size <= 0) return 0;
    ssize_t r;
    do {
        r = ::recv(Fd(s), buffer, static_cast<size_t>(size), 0);
    } while (r < 0 && errno == EINTR);
    return Result(static_cast<int>(r));
}

int SocketRecvFrom(SOCKET s, void* buffer, int size, SockAddrIn* from) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    ssize_t r = ::recvfrom(Fd(s), buffer, static_cast<size_t>(size > 0 ? size : 0), 0,
                           reinterpret_cast<sockaddr*>(&n), &len);
    if (r >= 0 && from) *from = FromNative(n);
    return Result(static_cast<int>(r));
}

int SocketShutdown(SOCKET s) {
    // A peer that already went away leaves the socket unconnected; that is
    // not a failure of ours.
    if (::shutdown(Fd(s), SHUT_RDWR) == 0 || errno == ENOTCONN) return 0;
    return SOCKET_ERROR;
}

int SocketClose(SOCKET s) { return ::close(Fd(s)) == 0 ? 0 : SOCKET_ERROR; }

int SocketSetSendTimeout(SOCKET s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return ::setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : SOCKET_ERROR;
}

long long SocketSendPieces(SOCKET s, const SendPiece* pieces, int count, bool wait) {
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
        r = ::sendmsg(Fd(s), &message, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    } while (r < 0 && errno == EINTR);
    if (r < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return r < 0 ? SOCKET_ERROR : static_cast<long long>(r);
}

int SocketSetKeepAlive(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
    int one = 1;
    bool ok = ::setsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
    ok = ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 && ok;
    ok = ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 && ok;
    ok = ::setsockopt(Fd(s), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
    return ok ? 0 : SOCKET_ERROR;
}

int SocketSetBuffers(SOCKET s, int sendBytes, int receiveBytes) {
    bool ok = sendBytes <= 0 || ::setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes) == 0;
    ok = (receiveBytes <= 0 || ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes) == 0) &&
         ok;
    return ok ? 0 : SOCKET_ERROR;
}

int SocketSetUnsentLimit(SOCKET s, int bytes) {
#ifdef TCP_NOTSENT_LOWAT
    return ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) == 0 ? 0 : SOCKET_ERROR;
#else
    return SocketSetBuffers(s, bytes, 0);
#endif
}

int SocketBufferSizes(SOCKET s, int* sendBytes, int* receiveBytes) {
    socklen_t length = sizeof *sendBytes;
    bool ok = ::getsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, sendBytes, &length) == 0;
    length = sizeof *receiveBytes;
    ok = ::getsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, receiveBytes, &length) == 0 && ok;
    return ok ? 0 : SOCKET_ERROR;
}

int SocketSetReuseAddress(SOCKET s) {
    int one = 1;
    return ::setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 ? 0 : SOCKET_ERROR;
}

int SocketLastError() { return errno; }

std::string SocketErrorText(int code) {
    char buf[256];
    // The GNU strerror_r returns the text, which may or may not be buf.
    const char* text = ::strerror_r(code, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error");
}

bool ResolveHost(const std::string& host, std::uint32_t* address) {
    in_addr dotted{};
    if (::inet_aton(host.c_str(), &dotted) != 0) {
        *address = dotted.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
    *address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return true;
}

}  // namespace platform
