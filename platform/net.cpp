// The socket calls that are the same on every system; what differs (creating,
// accepting, transfers that a shutdown must end) is in the system's own file.
#include "platform/net.h"

#include "platform/net_native.h"

namespace platform {

sockaddr_in ToNative(const SockAddrIn& a) {
    sockaddr_in n{};
    n.sin_family = static_cast<decltype(n.sin_family)>(a.family);
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

void SetNoDelay(NativeSocket s) {
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

std::uint16_t HostToNetShort(std::uint16_t v) { return htons(v); }
std::uint16_t NetToHostShort(std::uint16_t v) { return ntohs(v); }

int SocketBind(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    return ::bind(Native(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0 ? 0 : kSocketError;
}

int SocketListen(SocketHandle s, int backlog) { return ::listen(Native(s), backlog) == 0 ? 0 : kSocketError; }

int SocketGetName(SocketHandle s, SockAddrIn* addr) {
    sockaddr_in n{};
    AddressLength len = sizeof n;
    if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return kSocketError;
    if (addr) *addr = FromNative(n);
    return 0;
}

int SocketSendTo(SocketHandle s, const void* data, int length, const SockAddrIn& to) {
    sockaddr_in n = ToNative(to);
    auto r = ::sendto(Native(s), static_cast<const char*>(data), length > 0 ? length : 0, kSendFlags,
                      reinterpret_cast<sockaddr*>(&n), sizeof n);
    return r < 0 ? kSocketError : static_cast<int>(r);
}

int SocketRecvFrom(SocketHandle s, void* buffer, int size, SockAddrIn* from) {
    sockaddr_in n{};
    AddressLength len = sizeof n;
    auto r = ::recvfrom(Native(s), static_cast<char*>(buffer), size > 0 ? size : 0, 0,
                        reinterpret_cast<sockaddr*>(&n), &len);
    if (r >= 0 && from) *from = FromNative(n);
    return r < 0 ? kSocketError : static_cast<int>(r);
}

bool SocketSetBuffers(SocketHandle s, int sendBytes, int receiveBytes) {
    bool ok = sendBytes <= 0 || ::setsockopt(Native(s), SOL_SOCKET, SO_SNDBUF,
                                             reinterpret_cast<const char*>(&sendBytes), sizeof sendBytes) == 0;
    ok = (receiveBytes <= 0 || ::setsockopt(Native(s), SOL_SOCKET, SO_RCVBUF,
                                            reinterpret_cast<const char*>(&receiveBytes), sizeof receiveBytes) == 0) &&
         ok;
    return ok;
}

bool SocketBufferSizes(SocketHandle s, int* sendBytes, int* receiveBytes) {
    AddressLength length = sizeof *sendBytes;
    bool ok = ::getsockopt(Native(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(sendBytes), &length) == 0;
    length = sizeof *receiveBytes;
    ok = ::getsockopt(Native(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(receiveBytes), &length) == 0 && ok;
    return ok;
}

bool ResolveHost(const std::string& host, std::uint32_t* address) {
    StartSockets();
    if (host.empty()) return false;
    in_addr dotted{};
    if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
        *address = dotted.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
    *address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return true;
}

}  // namespace platform
