// The server's line dispatch: three sessions with their reader and writer
// threads and master_thread, each session on a local socket pair instead of
// a network connection. The input is cut into lines, each sent by the client
// its first byte picks; then every client asks for the member list and
// reads until it arrives. Whatever the lines were, every byte the server
// sends back must be whole messages that start with one of its keywords.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/net_socket.h"
#include "platform/tools/poller.h"
#include "platform/thread.h"
#include "protocol/history.h"
#include "protocol/messages.h"
#include "protocol/wideband_messages.h"
#include "server/master_thread.h"
#include "server/server_core.h"
#include "server/session.h"

namespace {

constexpr int kClients = 3;
constexpr int kWaitMs = 3000;

struct World {
    EventBuffer events{CServerCore::kEventSlots};
    std::vector<std::unique_ptr<CSession>> sessions;
    std::vector<CSession*> table;
    std::unique_ptr<CNetSocket> peers[kClients];
    MasterParameters master;
    platform::Thread masterThread;

    World() {
        for (int i = 0; i < kClients; ++i) {
            sessions.push_back(std::make_unique<CSession>());
            table.push_back(sessions.back().get());
        }
        master.sessions = table.data();
        master.sessionCount = kClients;
        master.events = &events;
        masterThread = platform::Thread::Start(master_thread, &master);
    }
};

// Lives for the whole run: master_thread never ends, so nothing may wait for
// it at exit.
World& TheWorld() {
    static World* world = std::make_unique<World>().release();
    return *world;
}

void Sleep1() { platform::SleepMs(1); }

// Every client leaves, and every session is opened afresh on a new pair.
void Reset(World& w) {
    for (auto& peer : w.peers) peer.reset();
    for (int i = 0; i < kClients; ++i) {
        CSession& s = *w.sessions[static_cast<size_t>(i)];
        for (int waited = 0; s.IsOccupied(); ++waited) {
            if (waited > kWaitMs) {
                std::fprintf(stderr, "a session did not end after its client left\n");
                std::abort();
            }
            Sleep1();
        }
        s.WaitForThreads();
        platform::SocketHandle pair[2];
        if (!platform::SocketPair(pair)) std::abort();
        auto connection = std::make_unique<CNetSocket>(pair[0]);
        w.peers[i] = std::make_unique<CNetSocket>(pair[1]);
        platform::SocketSetNonBlocking(pair[1]);
        if (!s.Open(connection, &w.events)) std::abort();
    }
}

// Writes all bytes unless the server has closed this client.
void Write(CNetSocket& peer, std::string_view bytes) {
    size_t sent = 0;
    for (int waited = 0; sent < bytes.size() && waited < kWaitMs;) {
        int r = platform::SocketSendNow(peer.Handle(), bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (r == platform::kWouldBlock) {
            Sleep1();
            ++waited;
        } else if (r < 0) {
            return;
        } else {
            sent += static_cast<size_t>(r);
        }
    }
}

// Reads until the member list has arrived, the server closed, or time ran out.
std::string ReadUntilList(CNetSocket& peer) {
    std::string got;
    char bytes[16384];
    platform::Poller poller;
    poller.Add(peer.Handle(), nullptr, false);
    for (int waits = 0; waits < kWaitMs / 100;) {
        size_t list = got.rfind("Member Size:");
        if (list != std::string::npos && got.find("\r\n\r\n", list) != std::string::npos) break;
        int r = platform::SocketRecvNow(peer.Handle(), bytes, sizeof bytes);
        if (r == platform::kWouldBlock) {
            platform::ReadyEvent event;
            if (poller.Wait(&event, 1, 100) == 0) ++waits;
        } else if (r <= 0) {
            break;
        } else {
            got.append(bytes, static_cast<size_t>(r));
        }
    }
    return got;
}

void CheckWellFormed(std::string_view bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find("\r\n\r\n", at);
        if (end == std::string_view::npos) return;  // a message still on its way
        std::string_view message = bytes.substr(at, end + 4 - at);
        std::string_view first = message.substr(0, message.find("\r\n"));
        // The answers that only a connection that asked receives have
        // keywords of their own.
        int count = 0;
        const bool extension = protocol::ClassifyWidebandServerLine(first) != protocol::WidebandMessage::kNone ||
                               protocol::ParseMessageHistorySize(first, &count);
        if (protocol::ClassifyServerLine(first) == protocol::ServerMessage::kNone && !extension) {
            std::fprintf(stderr, "server sent a message without a keyword: %.*s\n", static_cast<int>(first.size()),
                         first.data());
            std::abort();
        }
        at = end + 4;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    World& w = TheWorld();
    Reset(w);
    std::string_view all(reinterpret_cast<const char*>(data), size);
    while (!all.empty()) {
        const int client = static_cast<std::uint8_t>(all[0]) % kClients;
        all.remove_prefix(1);
        size_t lf = all.find('\n');
        std::string_view piece = all.substr(0, lf == std::string_view::npos ? all.size() : lf + 1);
        all.remove_prefix(piece.size());
        Write(*w.peers[client], piece);
    }
    for (auto& peer : w.peers) {
        // Ends any unfinished line, then asks for the list.
        Write(*peer, std::string("\r\n") + protocol::BuildWhoAreLogin());
    }
    for (auto& peer : w.peers) CheckWellFormed(ReadUntilList(*peer));
    return 0;
}
