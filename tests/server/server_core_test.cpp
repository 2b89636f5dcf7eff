// The server core inside the test process: start-up failures, the session
// limit, and shutdown with clients connected, also ones that stopped reading.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/server_core.h"
#include "server/server_process.h"
#include "support/loopback.h"

namespace {

using servertest::RawClient;

// A core listening on a free port; a port taken in between is retried.
std::uint16_t StartOnFreePort(CServerCore& core) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::uint16_t port = servertest::FreePort();
        if (core.Start(port)) return port;
    }
    return 0;
}

TEST(ServerCore, PortInUseIsReportedWithThePortAndTheReason) {
    std::uint16_t port = 0;
    auto holder = testsupport::ListenOnFreePort(&port);
    CServerCore core;
    EXPECT_FALSE(core.Start(port));
    const std::string& error = core.StartError();
    EXPECT_EQ(error.rfind("残念ながらこのソケットはすでに使用されています。", 0), 0u) << error;
    EXPECT_NE(error.find("port " + std::to_string(port)), std::string::npos) << error;
    EXPECT_GT(error.size(), std::string("残念ながらこのソケットはすでに使用されています。 (port 1: )").size()) << error;
    core.Shutdown();
}

TEST(ServerCore, StartsOnceAndTakesConnectionsAsSoonAsStarted) {
    CServerCore core;
    std::uint16_t port = StartOnFreePort(core);
    ASSERT_NE(port, 0);
    EXPECT_FALSE(core.Start(port));
    // No pause between Start and the first client: the socket listens already.
    RawClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(client.Login("x"), 1);
}

TEST(ServerCore, ConnectionsBeyondTheSessionsAreTurnedAway) {
    CServerCore core(2);
    std::uint16_t port = StartOnFreePort(core);
    ASSERT_NE(port, 0);
    RawClient a, b, c;
    ASSERT_TRUE(a.Connect(port));
    EXPECT_EQ(a.Login("a"), 1);
    ASSERT_TRUE(b.Connect(port));
    EXPECT_EQ(b.Login("b"), 2);
    ASSERT_TRUE(c.Connect(port));
    EXPECT_EQ(c.NextMessage(), "login failed\r\n\r\n");
    std::string rest;
    EXPECT_TRUE(c.WaitForClose(servertest::kWaitMs, &rest));
    EXPECT_EQ(rest, "");
}

TEST(ServerCore, ShutdownTellsEveryClientAndWaitsForEveryThread) {
    auto core = std::make_unique<CServerCore>();
    std::uint16_t port = StartOnFreePort(*core);
    ASSERT_NE(port, 0);
    // Two members and two connections that never logged in.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        ASSERT_TRUE(clients.back()->Connect(port));
        if (i < 2) {
            EXPECT_EQ(clients.back()->Login(i == 0 ? "a" : "b"), i + 1);
        }
    }
    ASSERT_TRUE(clients[3]->Send("Who are login?\r\n\r\n"));
    std::string list;
    ASSERT_TRUE(clients[3]->ReadMessage(&list));
    EXPECT_EQ(list, servertest::MemberListText({{1, "a"}, {2, "b"}}));

    core->Shutdown();
    for (auto& c : clients) {
        std::string rest;
        EXPECT_TRUE(c->WaitForClose(servertest::kWaitMs, &rest));
        const std::string told = "disconnected\r\n\r\n";
        ASSERT_GE(rest.size(), told.size());
        EXPECT_EQ(rest.substr(rest.size() - told.size()), told);
    }
    for (int i = 0; i < core->SessionCount(); ++i) EXPECT_FALSE(core->Session(i).IsOccupied());
    // No one takes connections any more.
    RawClient late;
    EXPECT_FALSE(late.Connect(port) && late.NextMessage(2000) != "");
    core.reset();
}

TEST(ServerCore, ShutdownEndsWhileAClientHasStoppedReading) {
    CServerCore core;
    std::uint16_t port = StartOnFreePort(core);
    ASSERT_NE(port, 0);
    RawClient stalled, active;
    ASSERT_TRUE(stalled.Connect(port));
    EXPECT_EQ(stalled.Login("stalled"), 1);
    ASSERT_TRUE(active.Connect(port));
    EXPECT_EQ(active.Login("active"), 2);
    // The stalled client reads nothing more; the active one posts until the
    // stalled one's buffer must have filled (its socket buffers take some
    // megabytes first) and reads each relay of its own.
    const std::string text(990, 'm');
    const std::string post = "Message:" + text + "\r\n\r\n";
    const std::string relay = servertest::MessageText(text, 2, "active");
    std::string message;
    ASSERT_TRUE(active.ReadMessage(&message));  // its own Member login
    int posted = 0;
    // Well short of the bound past which the stalled client would be ended.
    const std::size_t piledUp = SessionOutbox::kMaxTextBytes / 4;
    while (core.Session(0).Outbox().TextBytes() < piledUp && posted < 50000) {
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(active.Send(post));
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(active.ReadMessage(&message)) << posted;
            ASSERT_EQ(message, relay);
        }
        posted += 20;
    }
    ASSERT_GE(core.Session(0).Outbox().TextBytes(), piledUp);
    auto begin = std::chrono::steady_clock::now();
    core.Shutdown();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    std::printf("posted %d messages until the stalled client had a quarter of its bound waiting; shutdown took %lld ms\n", posted,
                static_cast<long long>(ms));
    EXPECT_LT(ms, 10000);
    std::string rest;
    EXPECT_TRUE(active.WaitForClose(servertest::kWaitMs, &rest));
    EXPECT_EQ(rest, "disconnected\r\n\r\n");
}

}  // namespace
