// The system's socket types and the helpers that net.cpp and the system's
// own socket file share; seen by no one else.
#pragma once

#include "platform/net.h"

#if defined(_WIN32)
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace platform {

#if defined(_WIN32)
using NativeSocket = ::SOCKET;
using AddressLength = int;
// Sending to a peer that went away fails here without a signal.
constexpr int kSendFlags = 0;
#else
using NativeSocket = int;
using AddressLength = socklen_t;
// Sending to a peer that went away must fail, not raise SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

inline NativeSocket Native(SocketHandle s) { return static_cast<NativeSocket>(s); }

sockaddr_in ToNative(const SockAddrIn& a);
SockAddrIn FromNative(const sockaddr_in& n);
void SetNoDelay(NativeSocket s);

// Starts the system's socket library once per process, where it has one to
// start; every call that may come first goes through here.
void StartSockets();

}  // namespace platform
