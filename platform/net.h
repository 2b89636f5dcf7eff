// Thin socket layer: WinSock-shaped results over the host's socket API.
// A handle is kNoSocket when no socket is open; calls give 0 on success,
// byte counts for transfers and kSocketError (-1) on failure, except the
// option setters, which answer yes or no.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;
constexpr int kSocketError = -1;

constexpr int kAfInet = 2;      // AF_INET
constexpr int kSockStream = 1;  // SOCK_STREAM

// An IPv4 socket address, 16 bytes, laid out like the system's own:
// family, port in network byte order, address in network byte order.
struct SockAddrIn {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
    std::uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16);

constexpr std::uint32_t kInaddrAny = 0;

std::uint16_t HostToNetShort(std::uint16_t v);
std::uint16_t NetToHostShort(std::uint16_t v);

// Every new socket is made so that sending never raises SIGPIPE.
SocketHandle SocketCreate(int family, int type, int protocol);
int SocketBind(SocketHandle s, const SockAddrIn& addr);
int SocketListen(SocketHandle s, int backlog);
// Accepted connections get TCP_NODELAY: voice frames are small and must not
// wait for Nagle.
SocketHandle SocketAccept(SocketHandle s, SockAddrIn* peer);
// Connected sockets get TCP_NODELAY as well.
int SocketConnect(SocketHandle s, const SockAddrIn& addr);
// Connecting without waiting: the socket is made non-blocking and the
// connection is started. 0 when it is already made, kConnectPending while
// it is under way (ask SocketConnectPoll), kSocketError when it failed.
constexpr int kConnectPending = 1;
int SocketConnectStart(SocketHandle s, const SockAddrIn& addr);
// 0 once the connection is made (the socket blocks again and has
// TCP_NODELAY, like one from SocketConnect), kConnectPending while under way,
// kSocketError when it failed. Never waits.
int SocketConnectPoll(SocketHandle s);
int SocketGetName(SocketHandle s, SockAddrIn* addr);
int SocketSend(SocketHandle s, const void* data, int length);
int SocketSendTo(SocketHandle s, const void* data, int length, const SockAddrIn& to);
int SocketRecv(SocketHandle s, void* buffer, int size);
int SocketRecvFrom(SocketHandle s, void* buffer, int size, SockAddrIn* from);
// Ends both directions: a thread blocked in recv or send on this socket
// returns at once. The descriptor itself stays allocated until SocketClose.
int SocketShutdown(SocketHandle s);
int SocketClose(SocketHandle s);
// Bounds how long one send may block (0 = no bound).
bool SocketSetSendTimeout(SocketHandle s, int milliseconds);
// Sends the pieces in order with one call, as if they were one buffer: the
// bytes sent (possibly fewer than all), or kSocketError. At most
// kMaxSendPieces pieces per call.
struct SendPiece {
    const void* data = nullptr;
    std::size_t length = 0;
};
constexpr int kMaxSendPieces = 1024;
// With wait false it sends only what fits into the socket's buffer now and
// never blocks (0 bytes when nothing fits).
long long SocketSendPieces(SocketHandle s, const SendPiece* pieces, int count, bool wait = true);
// Probes an idle connection so that a peer that vanished without a word is
// found: the first probe after idleSeconds of silence, then one every
// intervalSeconds; after count unanswered probes the connection fails.
bool SocketSetKeepAlive(SocketHandle s, int idleSeconds, int intervalSeconds, int count);
struct KeepAliveSettings {
    bool enabled = false;
    int idleSeconds = 0;
    int intervalSeconds = 0;
    int count = 0;
};
// The keep-alive settings as the system reports them for this socket. Where
// the system cannot report a value (Windows before 10 version 1709), the one
// SocketSetKeepAlive last gave this socket stands in for it.
bool SocketGetKeepAlive(SocketHandle s, KeepAliveSettings* settings);
// Bounds what the system holds for the socket's sending and receiving sides
// (0 leaves a side as it is; the system may round a figure up, Linux doubles
// it for its own bookkeeping). A fixed figure no longer grows by itself.
bool SocketSetBuffers(SocketHandle s, int sendBytes, int receiveBytes);
// Bounds the bytes that wait in the system for the peer to make room for
// them (sent but unacknowledged bytes do not count), so that a peer that
// stops reading soon makes sends wait, while one that is merely slow to
// acknowledge does not. Where the system has no such limit, the send buffer
// is bounded to the figure instead.
bool SocketSetUnsentLimit(SocketHandle s, int bytes);
// The system's figures for the socket's send and receive buffers, in bytes.
bool SocketBufferSizes(SocketHandle s, int* sendBytes, int* receiveBytes);
// Allows rebinding a listening port that still has connections in TIME_WAIT.
bool SocketSetReuseAddress(SocketHandle s);

// Error code of the last failed call on this thread, and its text.
int SocketLastError();
std::string SocketErrorText(int code);

// Looks up a host by name or dotted address; the first IPv4 address in
// network byte order. False when the name does not resolve.
bool ResolveHost(const std::string& host, std::uint32_t* address);

}  // namespace platform
