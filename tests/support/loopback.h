// A connected pair of TCP sockets on the loopback interface, made through the
// program's own socket layer: `local` is a CNetSocket under test, `peer` the
// far end that the test writes to and reads from.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/net_socket.h"
#include "platform/net.h"

namespace testsupport {

struct LoopbackPair {
    std::unique_ptr<CNetSocket> local;
    std::unique_ptr<CNetSocket> peer;

    // Writes bytes from the peer's side, all of them.
    void PeerSend(std::string_view bytes) const;
    // Ends the peer's side of the connection.
    void PeerClose() const;
};

LoopbackPair MakeLoopbackPair();

// A listening socket on 127.0.0.1 with a port the system chose.
std::unique_ptr<CNetSocket> ListenOnFreePort(std::uint16_t* port);

// One call of ReceiveLine: its result, and the line when there is one.
struct Line {
    int result;
    std::string text;
};
Line Read(CNetSocket& s, int maxLength);

platform::SockAddrIn LoopbackAddress(std::uint16_t port);

}  // namespace testsupport
