// A GoogleTest fixture that runs the real server for each test and checks,
// when the test is over, that Enter still ends it cleanly (exit code 0; under
// the sanitizers a finding changes the exit code).
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "server/master_thread.h"
#include "server/server_process.h"

namespace servertest {

// Ends a server that is running and expects a clean exit.
inline void Stop(ServerProcess& server) {
    server.PressEnter();
    EXPECT_EQ(server.WaitForExit(), 0) << server.ErrorOutput(2000);
}

// The server chose this port: it either runs on it or, when someone else
// holds it, says so and ends. Either way the choice shows.
inline void ExpectChosenPort(ServerProcess& server, int port) {
    const std::string started = "started at port " + std::to_string(port) + ".";
    if (server.WaitForOutput(servertest::kStartedLine)) {
        EXPECT_NE(server.Output().find(started), std::string::npos) << server.Output();
        Stop(server);
        return;
    }
    EXPECT_EQ(server.WaitForExit(), 1) << server.Output();
    std::string error = server.ErrorOutput();
    EXPECT_NE(error.find("(port " + std::to_string(port) + ":"), std::string::npos) << error;
}

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.Output(); }

    void TearDown() override {
        if (!server.Child().IsRunning()) return;
        server.PressEnter();
        EXPECT_EQ(server.WaitForExit(), 0) << server.ErrorOutput(2000);
    }

    std::unique_ptr<RawClient> Connect() {
        auto client = std::make_unique<RawClient>();
        EXPECT_TRUE(client->Connect(server.Port()));
        return client;
    }

    // Connects without logging in and waits until the server serves the
    // connection (it answers a list request), so that it gets everything
    // sent to all from then on.
    std::unique_ptr<RawClient> ConnectGuest() {
        auto client = Connect();
        EXPECT_TRUE(client->Send("Who are login?\r\n\r\n"));
        EXPECT_EQ(client->NextMessage().rfind("Member Size:", 0), 0u);
        return client;
    }

    // Connects and logs in, expecting the ID; reads the new member's own
    // announcement, and the announcement at each of the others.
    std::unique_ptr<RawClient> Join(std::string_view name, int expectedId,
                                    std::initializer_list<RawClient*> others = {}) {
        auto client = Connect();
        EXPECT_EQ(client->Login(name), expectedId) << name;
        std::string announcement = MemberLoginText(expectedId, name);
        EXPECT_EQ(client->NextMessage(), announcement) << name;
        for (RawClient* other : others) EXPECT_EQ(other->NextMessage(), announcement) << name;
        return client;
    }

    // Logs out (messages still unread do not matter) and waits until the
    // server has closed the connection: from then on its session slot is free
    // for the next connection.
    static void Leave(RawClient& client) {
        ASSERT_TRUE(client.Send("logout\r\n\r\n"));
        EXPECT_TRUE(client.SkipUntil("logout succeeded\r\n\r\n"));
        EXPECT_TRUE(client.WaitForClose());
    }

    // A message every given client must receive next.
    static void ExpectAll(std::initializer_list<RawClient*> clients, const std::string& message) {
        int i = 0;
        for (RawClient* c : clients) {
            EXPECT_EQ(c->NextMessage(), message) << "client " << i;
            ++i;
        }
    }

    ServerProcess server;
};

// "m1" ... "m25": a member name per slot.
inline std::string NumberedName(int i) {
    std::string name = "m";  // appended, not concatenated: GCC 12 warns falsely on the latter
    name += std::to_string(i);
    return name;
}

}  // namespace servertest
