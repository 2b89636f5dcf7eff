#include "platform/net.h"

// Brings winsock2.h, which must come before windows.h.
#include "platform/net_native.h"

#include <mstcpip.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

// What a socket needs beyond its handle. On this system neither shutdown()
// nor anything short of closesocket() wakes a thread blocked in recv or
// accept on the socket, and closing would free the handle for reuse while
// that thread may still be on its way into the call. So blocking transfers
// are made as overlapped calls that also wait on `shut`, which
// SocketShutdown sets and nothing resets.
struct SocketState {
    HANDLE shut = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Completion of the overlapped receive and send. One thread receives and
    // one sends on a connection at a time (its reader and its writer).
    HANDLE received = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE sent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Signalled for pending connections while a listener waits in accept.
    HANDLE acceptReady = nullptr;
    std::atomic<int> sendTimeoutMs{0};
    // What SocketSetKeepAlive gave the socket, for systems that cannot say.
    std::mutex keepAliveMutex;
    KeepAliveSettings keepAlive;

    ~SocketState() {
        for (HANDLE h : {shut, received, sent, acceptReady}) {
            if (h) ::CloseHandle(h);
        }
    }
    bool IsShut() const { return ::WaitForSingleObject(shut, 0) == WAIT_OBJECT_0; }
};

std::mutex registryMutex;
std::unordered_map<SocketHandle, std::shared_ptr<SocketState>> registry;

void Register(::SOCKET s) {
    auto state = std::make_shared<SocketState>();
    std::lock_guard<std::mutex> lock(registryMutex);
    registry[static_cast<SocketHandle>(s)] = std::move(state);
}

std::shared_ptr<SocketState> Lookup(SocketHandle s) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry.find(s);
    return it == registry.end() ? nullptr : it->second;
}

void Forget(SocketHandle s) {
    std::shared_ptr<SocketState> state;  // released outside the lock
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry.find(s);
    if (it != registry.end()) {
        state = std::move(it->second);
        registry.erase(it);
    }
}

// Longest a connection waits for a listener whose readiness notice was lost.
constexpr DWORD kAcceptRecheckMs = 100;

// Waits for an overlapped transfer that did not complete at once: until it
// completes, the socket is shut down, or timeoutMs passes (0: no limit).
// The byte count, or kSocketError.
int FinishOverlapped(::SOCKET s, SocketState& state, WSAOVERLAPPED* ov, int timeoutMs) {
    HANDLE events[2] = {ov->hEvent, state.shut};
    DWORD limit = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : INFINITE;
    DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, limit);
    int reason = 0;
    if (woke != WAIT_OBJECT_0) {
        reason = woke == WAIT_TIMEOUT ? WSAETIMEDOUT : WSAESHUTDOWN;
        ::CancelIoEx(reinterpret_cast<HANDLE>(s), ov);
    }
    // The call owns ov and its buffer until the system is done with them.
    DWORD count = 0;
    DWORD flags = 0;
    if (::WSAGetOverlappedResult(s, ov, &count, TRUE, &flags)) return static_cast<int>(count);
    if (reason != 0) ::WSASetLastError(reason);
    return kSocketError;
}

}  // namespace

// WinSock is started once per process, on first use: the programs and the
// tests reach every socket through this layer.
void StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

SocketHandle SocketCreate(int family, int type, int protocol) {
    StartSockets();
    // Overlapped, so that a shutdown can end a transfer another thread waits in;
    // not inherited by child processes.
    ::SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return kNoSocket;
    Register(s);
    return static_cast<SocketHandle>(s);
}

SocketHandle SocketAccept(SocketHandle s, SockAddrIn* peer) {
    sockaddr_in n{};
    int len = sizeof n;
    auto state = Lookup(s);
    ::SOCKET accepted;
    if (!state) {
        accepted = ::accept(Native(s), reinterpret_cast<sockaddr*>(&n), &len);
    } else {
        // The listener reports pending connections through an event, so that
        // the wait for one can also end at a shutdown.
        if (!state->acceptReady) {
            state->acceptReady = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
            if (!state->acceptReady || ::WSAEventSelect(Native(s), state->acceptReady, FD_ACCEPT) != 0) {
                return kNoSocket;
            }
        }
        for (;;) {
            if (state->IsShut()) {
                ::WSASetLastError(WSAESHUTDOWN);
                return kNoSocket;
            }
            len = sizeof n;
            accepted = ::accept(Native(s), reinterpret_cast<sockaddr*>(&n), &len);
            if (accepted != INVALID_SOCKET || ::WSAGetLastError() != WSAEWOULDBLOCK) break;
            // A notice can go missing when connections come close together
            // (seen under Wine: the listener readable, its event never
            // set), so the wait is bounded and accept is simply tried again.
            HANDLE events[2] = {state->acceptReady, state->shut};
            ::WaitForMultipleObjects(2, events, FALSE, kAcceptRecheckMs);
        }
        if (accepted != INVALID_SOCKET) {
            // A connection inherits the listener's event reporting, which
            // would make it non-blocking.
            ::WSAEventSelect(accepted, nullptr, 0);
            u_long blocking = 0;
            ::ioctlsocket(accepted, FIONBIO, &blocking);
        }
    }
    if (accepted == INVALID_SOCKET) return kNoSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    Register(accepted);
    SetNoDelay(accepted);
    if (peer) *peer = FromNative(n);
    return static_cast<SocketHandle>(accepted);
}

int SocketConnect(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    if (::connect(Native(s), reinterpret_cast<sockaddr*>(&n), sizeof n) != 0) return kSocketError;
    SetNoDelay(Native(s));
    return 0;
}

int SocketSend(SocketHandle s, const void* data, int length) {
    if (length <= 0) return 0;
    auto state = Lookup(s);
    if (!state) {
        int r = ::send(Native(s), static_cast<const char*>(data), length, 0);
        return r < 0 ? kSocketError : r;
    }
    if (state->IsShut()) {
        ::WSASetLastError(WSAESHUTDOWN);
        return kSocketError;
    }
    WSABUF buffer{static_cast<ULONG>(length), const_cast<char*>(static_cast<const char*>(data))};
    WSAOVERLAPPED ov{};
    ov.hEvent = state->sent;
    ::ResetEvent(ov.hEvent);
    DWORD sent = 0;
    if (::WSASend(Native(s), &buffer, 1, &sent, 0, &ov, nullptr) == 0) return static_cast<int>(sent);
    if (::WSAGetLastError() != WSA_IO_PENDING) return kSocketError;
    return FinishOverlapped(Native(s), *state, &ov, state->sendTimeoutMs.load());
}

long long SocketSendPieces(SocketHandle s, const SendPiece* pieces, int count, bool wait) {
    if (count <= 0) return 0;
    // Sending only what fits now would need the connection in non-blocking
    // mode while its reader's overlapped receive is under way; instead
    // nothing is sent, and the caller leaves all of it to the writer.
    if (!wait) return 0;
    if (count > kMaxSendPieces) count = kMaxSendPieces;
    static thread_local WSABUF buffers[kMaxSendPieces];
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        buffers[i].buf = const_cast<char*>(static_cast<const char*>(pieces[i].data));
        buffers[i].len = static_cast<ULONG>(pieces[i].length);
        total += static_cast<long long>(pieces[i].length);
    }
    if (total == 0) return 0;
    auto state = Lookup(s);
    if (state && state->IsShut()) {
        ::WSASetLastError(WSAESHUTDOWN);
        return kSocketError;
    }
    DWORD sent = 0;
    if (!state) {
        return ::WSASend(Native(s), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == 0
                   ? static_cast<long long>(sent)
                   : kSocketError;
    }
    WSAOVERLAPPED ov{};
    ov.hEvent = state->sent;
    ::ResetEvent(ov.hEvent);
    if (::WSASend(Native(s), buffers, static_cast<DWORD>(count), &sent, 0, &ov, nullptr) == 0) {
        return static_cast<long long>(sent);
    }
    if (::WSAGetLastError() != WSA_IO_PENDING) return kSocketError;
    return FinishOverlapped(Native(s), *state, &ov, state->sendTimeoutMs.load());
}

// The system's TCP_KEEPALIVE (the idle time), TCP_KEEPCNT and TCP_KEEPINTVL,
// in seconds; these headers lack them.
constexpr int kTcpKeepIdle = 3;
constexpr int kTcpKeepCount = 16;
constexpr int kTcpKeepInterval = 17;

bool SocketSetKeepAlive(SocketHandle s, int idleSeconds, int intervalSeconds, int count) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    if (::WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                   nullptr) != 0) {
        return false;
    }
    // Systems before Windows 10 version 1703 refuse the count and send their
    // own fixed number of probes (10).
    DWORD probes = static_cast<DWORD>(count);
    ::setsockopt(Native(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&probes), sizeof probes);
    if (auto state = Lookup(s)) {
        std::lock_guard<std::mutex> lock(state->keepAliveMutex);
        state->keepAlive = KeepAliveSettings{true, idleSeconds, intervalSeconds, count};
    }
    return true;
}

bool SocketGetKeepAlive(SocketHandle s, KeepAliveSettings* settings) {
    BOOL on = FALSE;
    int length = sizeof on;
    if (::getsockopt(Native(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &length) != 0) return false;
    KeepAliveSettings got;
    if (auto state = Lookup(s)) {
        std::lock_guard<std::mutex> lock(state->keepAliveMutex);
        got = state->keepAlive;
    }
    got.enabled = on != FALSE;
    auto read = [s](int name, int* value) {
        DWORD v = 0;
        int size = sizeof v;
        if (::getsockopt(Native(s), IPPROTO_TCP, name, reinterpret_cast<char*>(&v), &size) == 0) {
            *value = static_cast<int>(v);
        }
    };
    read(kTcpKeepIdle, &got.idleSeconds);
    read(kTcpKeepInterval, &got.intervalSeconds);
    read(kTcpKeepCount, &got.count);
    *settings = got;
    return true;
}

int SocketRecv(SocketHandle s, void* buffer, int size) {
    if (size <= 0) return 0;
    auto state = Lookup(s);
    if (!state) {
        int r = ::recv(Native(s), static_cast<char*>(buffer), size, 0);
        return r < 0 ? kSocketError : r;
    }
    if (state->IsShut()) {
        ::WSASetLastError(WSAESHUTDOWN);
        return kSocketError;
    }
    WSABUF wsaBuffer{static_cast<ULONG>(size), static_cast<char*>(buffer)};
    WSAOVERLAPPED ov{};
    ov.hEvent = state->received;
    ::ResetEvent(ov.hEvent);
    DWORD received = 0;
    DWORD flags = 0;
    if (::WSARecv(Native(s), &wsaBuffer, 1, &received, &flags, &ov, nullptr) == 0) {
        return static_cast<int>(received);
    }
    if (::WSAGetLastError() != WSA_IO_PENDING) return kSocketError;
    return FinishOverlapped(Native(s), *state, &ov, 0);
}

int SocketShutdown(SocketHandle s) {
    auto state = Lookup(s);
    if (state) ::SetEvent(state->shut);
    // A listener, or a connection the peer already ended, is not connected;
    // that is not a failure of ours.
    if (::shutdown(Native(s), SD_BOTH) == 0 || ::WSAGetLastError() == WSAENOTCONN) return 0;
    return kSocketError;
}

int SocketClose(SocketHandle s) {
    Forget(s);
    return ::closesocket(Native(s)) == 0 ? 0 : kSocketError;
}

bool SocketSetSendTimeout(SocketHandle s, int milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    // Overlapped sends ignore the system's option, so the bound is kept here.
    if (auto state = Lookup(s)) state->sendTimeoutMs.store(milliseconds);
    DWORD ms = static_cast<DWORD>(milliseconds);
    return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

bool SocketSetUnsentLimit(SocketHandle s, int bytes) {
    // WinSock has no limit on unsent bytes alone.
    return SocketSetBuffers(s, bytes, 0);
}

bool SocketSetReuseAddress(SocketHandle) {
    // Here the option would let a second program take over a port that is
    // in use, and rebinding over closed connections is allowed anyway.
    return true;
}

int SocketLastError() { return ::WSAGetLastError(); }

std::string SocketErrorText(int code) {
    char* text = nullptr;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                               reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (n > 0 && text) result.assign(text, n);
    if (text) ::LocalFree(text);
    // The system's texts end with a line break.
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
        result.pop_back();
    }
    // Not every system knows a text for every socket error.
    if (result.empty()) result = "Unknown error " + std::to_string(code);
    return result;
}

}  // namespace platform
