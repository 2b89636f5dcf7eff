// Choices that fall back to port 1024. They need that port itself, so CTest
// keeps them from running side by side; another program holding it is fine,
// as the server then names the port it could not have.
#include <gtest/gtest.h>

#include <string>

#include "server/server_fixture.h"

namespace {

using servertest::ExpectChosenPort;
using servertest::ServerProcess;

const std::string kPrompt = "Which port? Port Number(default 1024):";

TEST(DefaultPort, OutOfRangeArgumentsGive1024) {
    for (const char* argument : {"80", "65536", "not a number"}) {
        ServerProcess server;
        ASSERT_TRUE(server.StartWith({argument}));
        ExpectChosenPort(server, 1024);
    }
}

TEST(DefaultPort, AnEmptyLineAtThePromptGives1024) {
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({}, "\n"));
    ExpectChosenPort(server, 1024);
    EXPECT_NE(server.Output().find(kPrompt), std::string::npos);
}

TEST(DefaultPort, NoInputAtAllGives1024AndTheServerKeepsRunning) {
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({}));
    server.Child().CloseInput();
    if (server.WaitForOutput(servertest::kStartedLine)) {
        EXPECT_NE(server.Output().find("started at port 1024."), std::string::npos);
        EXPECT_TRUE(server.Child().IsRunning());
        server.Child().Terminate();
        EXPECT_EQ(server.WaitForExit(), 0);
    } else {
        ExpectChosenPort(server, 1024);
    }
}

}  // namespace
