#include "support/loopback.h"

#include <stdexcept>

namespace testsupport {

platform::SockAddrIn LoopbackAddress(std::uint16_t port) {
    platform::SockAddrIn a;
    a.family = platform::kAfInet;
    a.port = platform::HostToNetShort(port);
    platform::ResolveHost("127.0.0.1", &a.address);
    return a;
}

std::unique_ptr<CNetSocket> ListenOnFreePort(std::uint16_t* port) {
    auto listener = std::make_unique<CNetSocket>(platform::kAfInet, platform::kSockStream, 0);
    if (listener->Bind(LoopbackAddress(0)) != 0 || listener->Listen(10) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    platform::SockAddrIn bound;
    listener->GetSockName(&bound);
    *port = platform::NetToHostShort(bound.port);
    return listener;
}

LoopbackPair MakeLoopbackPair() {
    std::uint16_t port = 0;
    auto listener = ListenOnFreePort(&port);
    LoopbackPair pair;
    pair.peer = std::make_unique<CNetSocket>(platform::kAfInet, platform::kSockStream, 0);
    if (pair.peer->Connect(LoopbackAddress(port)) != 0) throw std::runtime_error("cannot connect");
    pair.local = listener->Accept(nullptr);
    if (!pair.local) throw std::runtime_error("cannot accept");
    return pair;
}

void LoopbackPair::PeerSend(std::string_view bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int r = peer->Send(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (r <= 0) throw std::runtime_error("send failed");
        sent += static_cast<size_t>(r);
    }
}

void LoopbackPair::PeerClose() const { peer->Close(); }

Line Read(CNetSocket& s, int maxLength) {
    std::string buffer(static_cast<size_t>(maxLength) + 1, '\x7f');
    int r = s.ReceiveLine(buffer.data(), maxLength);
    return {r, r >= 0 ? std::string(buffer.c_str()) : std::string()};
}

}  // namespace testsupport
