#include "common/net_socket.h"

#include <cstring>

#include "platform/message_box.h"

using platform::kNoSocket;
using platform::SocketHandle;
using platform::kSocketError;

CNetSocket::CNetSocket() = default;

CNetSocket::CNetSocket(SocketHandle handle) : socketHandle_(handle) {}

CNetSocket::CNetSocket(int family, int type, int protocol) { Create(family, type, protocol); }

CNetSocket::~CNetSocket() {
    SocketHandle h = socketHandle_.exchange(kNoSocket);
    if (h != kNoSocket) {
        platform::SocketShutdown(h);
        platform::SocketClose(h);
    }
    ReleaseRetired();
}

void CNetSocket::ReleaseRetired() {
    if (retired_ != kNoSocket) {
        platform::SocketClose(retired_);
        retired_ = kNoSocket;
    }
}

SocketHandle CNetSocket::Create(int family, int type, int protocol) {
    SocketHandle old = socketHandle_.exchange(kNoSocket);
    if (old != kNoSocket) {
        platform::SocketShutdown(old);
        platform::SocketClose(old);
    }
    ReleaseRetired();
    lineCount_ = 0;
    skippingLine_ = false;
    SocketHandle h = platform::SocketCreate(family, type, protocol);
    if (h == kNoSocket) platform::Fatal(platform::SocketErrorText(platform::SocketLastError()));
    socketHandle_.store(h);
    return h;
}

int CNetSocket::Close() {
    SocketHandle h = socketHandle_.exchange(kNoSocket);
    if (h == kNoSocket) return kSocketError;
    int result = platform::SocketShutdown(h);
    ReleaseRetired();
    retired_ = h;
    return result;
}

std::unique_ptr<CNetSocket> CNetSocket::Accept(platform::SockAddrIn* peer) {
    SocketHandle h = platform::SocketAccept(Handle(), peer);
    if (h == kNoSocket) return nullptr;
    return std::make_unique<CNetSocket>(h);
}

int CNetSocket::Bind(const platform::SockAddrIn& address) {
    return platform::SocketBind(Handle(), address) == 0 ? 0 : -1;
}

int CNetSocket::Listen(int backlog) { return platform::SocketListen(Handle(), backlog); }

int CNetSocket::Connect(const platform::SockAddrIn& address) {
    return platform::SocketConnect(Handle(), address);
}

int CNetSocket::GetSockName(platform::SockAddrIn* address) {
    return platform::SocketGetName(Handle(), address);
}

int CNetSocket::Send(const void* data, int length) {
    SocketHandle h = Handle();
    if (h == kNoSocket) return -1;
    return platform::SocketSend(h, data, length);
}

int CNetSocket::SendTo(const void* data, int length, const platform::SockAddrIn& to) {
    return platform::SocketSendTo(Handle(), data, length, to);
}

int CNetSocket::Receive(void* buffer, int size, int wholeCount) {
    if (size <= 0) return 0;
    SocketHandle h = Handle();
    if (!wholeCount) {
        int r = platform::SocketRecv(h, buffer, size);
        if (r < 0) {
            platform::ShowMessageBox("error");
            return -1;
        }
        return r;
    }
    char* bytes = static_cast<char*>(buffer);
    int received = 0;
    while (received < size) {
        int r = platform::SocketRecv(h, bytes + received, size - received);
        if (r < 0) {
            platform::ShowMessageBox("error");
            return -1;
        }
        if (r == 0) {
            platform::ShowMessageBox("This socket is already closed..");
            return 0;
        }
        received += r;
    }
    return size;
}

int CNetSocket::ReceiveFrom(void* buffer, int size, platform::SockAddrIn* from) {
    if (size <= 0) return 0;
    return platform::SocketRecvFrom(Handle(), buffer, size, from);
}

bool CNetSocket::HasBufferedLine(int maxLength) const {
    if (maxLength < 0) maxLength = 0;
    const char* begin = lineBuffer_;
    int count = lineCount_;
    if (skippingLine_) {
        // The rest of an over-long line goes first.
        auto* lf = static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(count)));
        if (!lf) return false;
        count -= static_cast<int>(lf - begin) + 1;
        begin = lf + 1;
    }
    return std::memchr(begin, '\n', static_cast<size_t>(count)) != nullptr || count >= maxLength + 2 ||
           count == kLineBufferSize;
}

int CNetSocket::ReceiveLine(char* destination, int maxLength) {
    if (maxLength < 0) maxLength = 0;
    for (;;) {
        auto* lf = static_cast<char*>(std::memchr(lineBuffer_, '\n', static_cast<size_t>(lineCount_)));
        if (skippingLine_) {
            // Drop what is left of an over-long line, its line end included.
            if (!lf) {
                lineCount_ = 0;
            } else {
                int consumed = static_cast<int>(lf - lineBuffer_) + 1;
                lineCount_ -= consumed;
                std::memmove(lineBuffer_, lineBuffer_ + consumed, static_cast<size_t>(lineCount_));
                skippingLine_ = false;
                continue;
            }
        } else if (lf) {
            int p = static_cast<int>(lf - lineBuffer_);
            int length = (p > 0 && lineBuffer_[p - 1] == '\r') ? p - 1 : p;
            int delivered = length < maxLength ? length : maxLength;
            std::memcpy(destination, lineBuffer_, static_cast<size_t>(delivered));
            destination[delivered] = '\0';
            int consumed = p + 1;
            lineCount_ -= consumed;
            std::memmove(lineBuffer_, lineBuffer_ + consumed, static_cast<size_t>(lineCount_));
            return delivered;
        } else if (lineCount_ >= maxLength + 2 || lineCount_ == kLineBufferSize) {
            // No line end yet, but the line is already known to be too long
            // (or cannot fit the buffer): deliver its first part and skip the
            // rest when it arrives. A CR at the very end may belong to the line
            // end, so it is never delivered.
            int delivered = lineCount_ < maxLength ? lineCount_ : maxLength;
            if (delivered == lineCount_ && delivered > 0 && lineBuffer_[delivered - 1] == '\r') --delivered;
            std::memcpy(destination, lineBuffer_, static_cast<size_t>(delivered));
            destination[delivered] = '\0';
            lineCount_ = 0;
            skippingLine_ = true;
            return delivered;
        }
        SocketHandle h = Handle();
        if (h == kNoSocket) return -1;
        int r = platform::SocketRecv(h, lineBuffer_ + lineCount_, kLineBufferSize - lineCount_);
        if (r <= 0) return -1;
        lineCount_ += r;
    }
}
