// The delaying relay of the voice benchmark over real loopback TCP: what it
// forwards arrives whole and in order under jitter, never before its delay
// or the end of a stall, and an end of connection goes through.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "relay.h"
#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// A relay running on its own thread until destruction.
struct RunningRelay {
    explicit RunningRelay(const relay::Options& options) {
        std::string error;
        opened = relay.Open(options, &error);
        EXPECT_TRUE(opened) << error;
        if (opened) thread = std::thread([this] { relay.Run(stop, Clock::now() + std::chrono::minutes(5)); });
    }
    ~RunningRelay() {
        stop.store(true);
        if (thread.joinable()) thread.join();
    }
    relay::JitterRelay relay;
    std::atomic<bool> stop{false};
    std::thread thread;
    bool opened = false;
};

// Reads exactly n bytes (or until the connection ends).
std::string ReadBytes(CNetSocket& s, std::size_t n) {
    std::string out(n, '\0');
    const int r = s.Receive(out.data(), static_cast<int>(n), 1);
    out.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
    return out;
}

std::string Pattern(std::size_t n, int seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed) * 7) & 0xFF);
    return s;
}

}  // namespace

TEST(JitterRelay, ForwardsBothWaysWholeAndInOrderUnderJitter) {
    std::uint16_t target = 0;
    auto listener = testsupport::ListenOnFreePort(&target);
    relay::Options o;
    o.targetPort = target;
    o.jitterMs = 20;
    o.seed = 5;
    RunningRelay r(o);
    ASSERT_TRUE(r.opened);
    CNetSocket client(platform::kAfInet, platform::kSockStream, 0);
    ASSERT_EQ(client.Connect(testsupport::LoopbackAddress(r.relay.Port())), 0);
    auto server = listener->Accept(nullptr);
    ASSERT_TRUE(server);

    // Many small writes, each a chunk of its own with a delay of its own.
    std::string up, down;
    for (int k = 0; k < 60; ++k) {
        const std::string a = Pattern(50 + static_cast<std::size_t>(k) * 13, k);
        const std::string b = Pattern(30 + static_cast<std::size_t>(k) * 7, k + 100);
        ASSERT_EQ(client.Send(a.data(), static_cast<int>(a.size())), static_cast<int>(a.size()));
        ASSERT_EQ(server->Send(b.data(), static_cast<int>(b.size())), static_cast<int>(b.size()));
        up += a;
        down += b;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(ReadBytes(*server, up.size()), up);
    EXPECT_EQ(ReadBytes(client, down.size()), down);

    // The client leaves: the server sees the end once all was delivered.
    const std::string last = "bye";
    client.Send(last.data(), 3);
    client.Close();
    EXPECT_EQ(ReadBytes(*server, 3), last);
    char byte;
    EXPECT_LE(server->Receive(&byte, 1, 0), 0);
}

TEST(JitterRelay, NothingArrivesBeforeItsDelayOrBeforeAStallHasEnded) {
    std::uint16_t target = 0;
    auto listener = testsupport::ListenOnFreePort(&target);
    relay::Options o;
    o.targetPort = target;
    o.delayMs = 150;
    o.delayUp = false;  // only what the server sends is held
    o.stallAtMs = 0;
    o.stallMs = 400;
    RunningRelay r(o);
    ASSERT_TRUE(r.opened);
    CNetSocket client(platform::kAfInet, platform::kSockStream, 0);
    ASSERT_EQ(client.Connect(testsupport::LoopbackAddress(r.relay.Port())), 0);
    const Clock::time_point connected = Clock::now();
    auto server = listener->Accept(nullptr);
    ASSERT_TRUE(server);

    // Up is not delayed: it arrives (no bound asserted on how soon).
    ASSERT_EQ(client.Send("ping", 4), 4);
    EXPECT_EQ(ReadBytes(*server, 4), "ping");

    // Down: held through the stall.
    ASSERT_EQ(server->Send("pong", 4), 4);
    EXPECT_EQ(ReadBytes(client, 4), "pong");
    EXPECT_GE(Clock::now() - connected, std::chrono::milliseconds(400));

    // After the stall: the delay alone.
    const Clock::time_point sent = Clock::now();
    ASSERT_EQ(server->Send("late", 4), 4);
    EXPECT_EQ(ReadBytes(client, 4), "late");
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(150));
}

TEST(JitterRelay, RefusesOptionsOutsideItsBounds) {
    relay::JitterRelay r;
    std::string error;
    relay::Options o;
    EXPECT_FALSE(r.Open(o, &error)) << "no target";
    EXPECT_FALSE(error.empty());
    o.targetPort = 1;
    o.jitterMs = relay::kMaxDelayMs + 1;
    EXPECT_FALSE(r.Open(o, &error));
    o.jitterMs = 0;
    o.delayMs = -1;
    EXPECT_FALSE(r.Open(o, &error));
    o.delayMs = 0;
    o.maxConnections = 0;
    EXPECT_FALSE(r.Open(o, &error));
}
