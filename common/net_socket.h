// One stream socket with a 1024-byte line buffer that cuts the incoming byte
// stream into lines.
#pragma once

#include <atomic>
#include <memory>

#include "platform/net.h"

class CNetSocket {
public:
    static constexpr int kLineBufferSize = 1024;

    CNetSocket();
    // Adopts an open socket.
    explicit CNetSocket(platform::SocketHandle handle);
    // Creates a socket at once.
    CNetSocket(int family, int type, int protocol);
    ~CNetSocket();
    CNetSocket(const CNetSocket&) = delete;
    CNetSocket& operator=(const CNetSocket&) = delete;

    // Makes a new socket. A socket this object still holds is closed first and
    // the line buffer starts empty. When no socket can be made the program
    // reports the system's reason and ends.
    platform::SocketHandle Create(int family, int type, int protocol);
    // Ends the connection: a thread blocked receiving on it returns at once.
    // 0, or kSocketError when no socket was open.
    int Close();

    // The accepted connection, or null when accept failed.
    std::unique_ptr<CNetSocket> Accept(platform::SockAddrIn* peer);
    int Bind(const platform::SockAddrIn& address);
    int Listen(int backlog);
    int Connect(const platform::SockAddrIn& address);
    int GetSockName(platform::SockAddrIn* address);
    // Bytes sent, or -1.
    int Send(const void* data, int length);
    int SendTo(const void* data, int length, const platform::SockAddrIn& to);
    // Reads straight from the socket, bypassing the line buffer. With
    // wholeCount set it reads until size bytes have arrived.
    int Receive(void* buffer, int size, int wholeCount);
    int ReceiveFrom(void* buffer, int size, platform::SockAddrIn* from);

    // Delivers the next line without its line end into destination, which
    // holds maxLength + 1 bytes, and returns its length (0 for an empty line).
    // A line ends at LF; a CR just before the LF is dropped. A line longer than
    // maxLength (or than the line buffer) delivers its first part and the rest
    // of it is skipped. -1 only when the connection ended or a receive failed.
    int ReceiveLine(char* destination, int maxLength);

    // True when ReceiveLine with this maxLength would deliver a line from
    // what is buffered, without waiting for the network.
    bool HasBufferedLine(int maxLength) const;

    platform::SocketHandle Handle() const { return socketHandle_.load(); }
    // Bytes held in the line buffer that no line has delivered yet.
    int BufferedBytes() const { return lineCount_; }

private:
    void ReleaseRetired();

    std::atomic<platform::SocketHandle> socketHandle_{platform::kNoSocket};
    // A socket that Close has shut down. Its descriptor is released only when
    // no thread can be using it any more (the next Create, or destruction), so
    // that a receiver still on its way into recv never meets a reused number.
    platform::SocketHandle retired_ = platform::kNoSocket;
    char lineBuffer_[kLineBufferSize];
    int lineCount_ = 0;
    // The rest of an over-long line is being skipped up to its line end.
    bool skippingLine_ = false;
};
