#include "relay.h"

#include <algorithm>

namespace relay {

using namespace platform;

namespace {

SockAddrIn Loopback(std::uint16_t port) {
    SockAddrIn a;
    a.family = kAfInet;
    a.port = HostToNetShort(port);
    ResolveHost("127.0.0.1", &a.address);
    return a;
}

// Markers for the listening socket among the links in poll results.
char listenerMark;

}  // namespace

JitterRelay::~JitterRelay() {
    for (auto& link : links_) Close(*link);
    if (listener_ != kNoSocket) SocketClose(listener_);
}

bool JitterRelay::Open(const Options& options, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (options.targetPort == 0) return fail("a target port is needed");
    if (options.delayMs < 0 || options.delayMs > kMaxDelayMs || options.jitterMs < 0 ||
        options.jitterMs > kMaxDelayMs || options.stallMs < 0 || options.stallMs > kMaxDelayMs)
        return fail("delays are 0 to " + std::to_string(kMaxDelayMs) + " ms");
    if (options.maxConnections < 1 || options.maxConnections > 64) return fail("1 to 64 connections");
    if (!poller_.IsValid()) return fail("no readiness poller");
    options_ = options;
    random_.seed(options.seed);

    listener_ = SocketCreate(kAfInet, kSockStream, 0);
    if (listener_ == kNoSocket) return fail("no socket");
    SocketSetReuseAddress(listener_);
    SockAddrIn address = Loopback(options.listenPort);
    if (SocketBind(listener_, address) != 0 || SocketListen(listener_, 16) != 0 ||
        SocketGetName(listener_, &address) != 0)
        return fail("cannot listen on 127.0.0.1:" + std::to_string(options.listenPort));
    port_ = NetToHostShort(address.port);
    SocketSetNonBlocking(listener_);
    poller_.Add(listener_, &listenerMark, false);
    return true;
}

JitterRelay::Clock::time_point JitterRelay::Due(Pipe& pipe, Clock::time_point now) {
    Clock::time_point due = now;
    if (pipe.delayed) {
        int extra = options_.delayMs;
        if (options_.jitterMs > 0) extra += std::uniform_int_distribution<int>(0, options_.jitterMs)(random_);
        due += std::chrono::milliseconds(extra);
        if (options_.stallAtMs >= 0 && started_) {
            const auto stallStart = firstConnection_ + std::chrono::milliseconds(options_.stallAtMs);
            const auto stallEnd = stallStart + std::chrono::milliseconds(options_.stallMs);
            if (due >= stallStart && due < stallEnd) due = stallEnd;
        }
    }
    // Order is kept: never before the chunk ahead of it.
    due = std::max(due, pipe.lastDue);
    pipe.lastDue = due;
    return due;
}

void JitterRelay::AcceptOne() {
    SockAddrIn peer;
    SocketHandle client = SocketAccept(listener_, &peer);
    if (client == kNoSocket) return;
    if (static_cast<int>(links_.size()) >= options_.maxConnections) {
        SocketClose(client);
        return;
    }
    SocketHandle server = SocketCreate(kAfInet, kSockStream, 0);
    if (server == kNoSocket || SocketConnect(server, Loopback(options_.targetPort)) != 0) {
        if (server != kNoSocket) SocketClose(server);
        SocketClose(client);
        return;
    }
    if (!started_) {
        started_ = true;
        firstConnection_ = Clock::now();
    }
    SocketSetNonBlocking(client);
    SocketSetNonBlocking(server);
    auto link = std::make_unique<Link>();
    link->client = client;
    link->server = server;
    link->up.from = client;
    link->up.to = server;
    link->up.delayed = options_.delayUp;
    link->down.from = server;
    link->down.to = client;
    link->down.delayed = options_.delayDown;
    poller_.Add(client, &link->up, false);
    poller_.Add(server, &link->down, false);
    links_.push_back(std::move(link));
}

void JitterRelay::Read(Pipe& pipe, Clock::time_point now) {
    if (pipe.ended || pipe.paused) return;
    char buffer[16384];
    const int n = SocketRecvNow(pipe.from, buffer, sizeof buffer);
    if (n == kWouldBlock) return;
    if (n <= 0) {
        pipe.ended = true;
        poller_.Remove(pipe.from);
        return;
    }
    pipe.chunks.push_back(Chunk{Due(pipe, now), std::string(buffer, static_cast<std::size_t>(n)), 0});
    pipe.pending += static_cast<std::size_t>(n);
    if (pipe.pending > kMaxPendingBytes) {
        pipe.paused = true;
        poller_.Remove(pipe.from);
    }
}

void JitterRelay::Flush(Link& link, Pipe& pipe, Clock::time_point now) {
    while (!pipe.chunks.empty() && pipe.chunks.front().due <= now) {
        Chunk& c = pipe.chunks.front();
        const int n = SocketSendNow(pipe.to, c.bytes.data() + c.sent, static_cast<int>(c.bytes.size() - c.sent));
        if (n == kWouldBlock) return;
        if (n < 0) {
            link.dead = true;
            return;
        }
        c.sent += static_cast<std::size_t>(n);
        pipe.pending -= static_cast<std::size_t>(n);
        if (c.sent < c.bytes.size()) return;
        pipe.chunks.pop_front();
    }
    if (pipe.paused && pipe.pending <= kMaxPendingBytes / 2) {
        pipe.paused = false;
        poller_.Add(pipe.from, &pipe, false);
    }
    // A side that closed is closed on the other side once all it sent is out.
    if (pipe.ended && pipe.chunks.empty()) link.dead = true;
}

void JitterRelay::Close(Link& link) {
    if (link.client != kNoSocket) {
        poller_.Remove(link.client);
        SocketShutdown(link.client);
        SocketClose(link.client);
        link.client = kNoSocket;
    }
    if (link.server != kNoSocket) {
        poller_.Remove(link.server);
        SocketShutdown(link.server);
        SocketClose(link.server);
        link.server = kNoSocket;
    }
}

void JitterRelay::Run(const std::atomic<bool>& stop, Clock::time_point deadline) {
    ReadyEvent events[64];
    while (!stop.load() && Clock::now() < deadline) {
        // A millisecond at most: chunks fall due while nothing is readable.
        const int n = poller_.Wait(events, 64, 1);
        const Clock::time_point now = Clock::now();
        for (int i = 0; i < n; ++i) {
            if (events[i].user == &listenerMark) {
                AcceptOne();
                continue;
            }
            for (auto& link : links_) {
                if (events[i].user == &link->up) Read(link->up, now);
                if (events[i].user == &link->down) Read(link->down, now);
            }
        }
        for (auto& link : links_) {
            Flush(*link, link->up, now);
            Flush(*link, link->down, now);
        }
        for (auto it = links_.begin(); it != links_.end();) {
            if ((*it)->dead) {
                Close(**it);
                it = links_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& link : links_) Close(*link);
    links_.clear();
}

}  // namespace relay
