// A TCP relay on the loopback interface that holds back what it forwards:
// each chunk read from one side is sent on to the other after a base delay
// plus a random amount up to the jitter, never before the chunk read ahead
// of it (order is kept), and optionally not before the end of one stall.
// For tests and measurements of the voice path over a bad link.
//
// One thread, one readiness loop. Every connection accepted on the listening
// port gets a connection of its own to the target port on 127.0.0.1. What is
// waiting in one direction is bounded: past the bound the relay stops
// reading from that side until half of it has gone out.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/tools/poller.h"

namespace relay {

struct Options {
    std::uint16_t listenPort = 0;  // 0: any free port (see Port())
    std::uint16_t targetPort = 0;
    int delayMs = 0;    // base delay, 0 to kMaxDelayMs
    int jitterMs = 0;   // random extra delay per chunk, 0 to kMaxDelayMs
    bool delayUp = true;    // client to server
    bool delayDown = true;  // server to client
    // Nothing goes out in a delayed direction from stallAtMs after the first
    // connection for stallMs (off while stallAtMs is negative).
    int stallAtMs = -1;
    int stallMs = 0;
    unsigned seed = 1;
    int maxConnections = 8;
};

constexpr int kMaxDelayMs = 10000;
// Bytes held in one direction before the relay stops reading that side.
constexpr std::size_t kMaxPendingBytes = 1 << 20;

class JitterRelay {
public:
    using Clock = std::chrono::steady_clock;

    JitterRelay() = default;
    ~JitterRelay();
    JitterRelay(const JitterRelay&) = delete;
    JitterRelay& operator=(const JitterRelay&) = delete;

    // Checks the options and listens on 127.0.0.1; false with a reason.
    bool Open(const Options& options, std::string* error);
    std::uint16_t Port() const { return port_; }
    // Relays until stop is set or the deadline passes, then closes every
    // connection.
    void Run(const std::atomic<bool>& stop, Clock::time_point deadline);

    int Connections() const { return static_cast<int>(links_.size()); }

private:
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
        std::size_t sent = 0;
    };
    struct Pipe {
        platform::SocketHandle from = platform::kNoSocket;
        platform::SocketHandle to = platform::kNoSocket;
        bool delayed = false;
        std::deque<Chunk> chunks;
        std::size_t pending = 0;
        Clock::time_point lastDue{};
        bool ended = false;   // the source has closed
        bool paused = false;  // not read while too much waits
    };
    struct Link {
        platform::SocketHandle client = platform::kNoSocket;
        platform::SocketHandle server = platform::kNoSocket;
        Pipe up;
        Pipe down;
        bool dead = false;
    };

    void AcceptOne();
    void Read(Pipe& pipe, Clock::time_point now);
    void Flush(Link& link, Pipe& pipe, Clock::time_point now);
    void Close(Link& link);
    Clock::time_point Due(Pipe& pipe, Clock::time_point now);

    Options options_;
    platform::SocketHandle listener_ = platform::kNoSocket;
    std::uint16_t port_ = 0;
    platform::Poller poller_;
    std::vector<std::unique_ptr<Link>> links_;
    std::mt19937 random_;
    bool started_ = false;
    Clock::time_point firstConnection_{};
};

}  // namespace relay
