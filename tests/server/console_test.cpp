// The console: banner, port argument and prompt, the started lines, and a
// port that cannot be had.
#include <gtest/gtest.h>

#include <string>

#include "server/server_fixture.h"
#include "support/loopback.h"

namespace {

using servertest::ExpectChosenPort;
using servertest::ServerProcess;
using servertest::Stop;

const std::string kPrompt = "Which port? Port Number(default 1024):";

std::string StartedLines(int port) {
    return "\nThe server core has started at port " + std::to_string(port) +
           ".\nPlease press <Enter> to terminate it.\n";
}

// The two banner lines: the name and version, then a description.
std::string Banner(const std::string& output) {
    std::size_t first = output.find('\n');
    std::size_t second = first == std::string::npos ? first : output.find('\n', first + 1);
    return second == std::string::npos ? std::string() : output.substr(0, second + 1);
}

void ExpectBanner(const std::string& output) {
    std::string banner = Banner(output);
    EXPECT_EQ(banner.rfind("Orvane 1.0.0\n", 0), 0u) << output;
    EXPECT_GT(banner.size(), std::string("Orvane 1.0.0\n\n").size()) << output;
}

TEST(Console, BannerThenStartedLinesByteForByte) {
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    const std::string& out = server.Output();
    ExpectBanner(out);
    EXPECT_EQ(out.substr(Banner(out).size()), StartedLines(server.Port()));
    Stop(server);
}

TEST(Console, OneArgumentIsReadLikeAtoi) {
    std::uint16_t port = servertest::FreePort();
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({std::to_string(port) + "abc"}));
    ExpectChosenPort(server, port);
    EXPECT_EQ(server.Output().find(kPrompt), std::string::npos);
}

TEST(Console, DigitsFollowedByLettersGiveTheNumber) {
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({"5000abc"}));
    ExpectChosenPort(server, 5000);
}

TEST(Console, TheHighestPortIsTaken) {
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({"65535"}));
    ExpectChosenPort(server, 65535);
}

TEST(Console, TwoArgumentsShowThePromptWhichTakesEightCharacters) {
    std::uint16_t port = servertest::FreePort();
    std::string typed = std::to_string(port);
    typed = std::string(8 - typed.size(), ' ') + typed + "77";  // the 77 lies past the eighth character
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({"2000", "3000"}));
    ASSERT_TRUE(server.WaitForOutput(kPrompt));
    ASSERT_TRUE(server.Child().WriteInput(typed + "\n"));
    ASSERT_TRUE(server.WaitForOutput(servertest::kStartedLine)) << server.Output() << server.ErrorOutput(1000);
    const std::string& out = server.Output();
    ExpectBanner(out);
    EXPECT_EQ(out.substr(Banner(out).size()), kPrompt + StartedLines(port));
    Stop(server);
}

TEST(Console, NoArgumentShowsThePrompt) {
    std::uint16_t port = servertest::FreePort();
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({}, std::to_string(port) + "\n"));
    ASSERT_TRUE(server.WaitForOutput(servertest::kStartedLine)) << server.Output();
    EXPECT_EQ(server.Output().substr(Banner(server.Output()).size()), kPrompt + StartedLines(port));
    Stop(server);
}

TEST(Console, APortInUseEndsTheServerWithoutAFalseStart) {
    std::uint16_t port = 0;
    auto holder = testsupport::ListenOnFreePort(&port);
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({std::to_string(port)}));
    EXPECT_EQ(server.WaitForExit(), 1);
    std::string error = server.ErrorOutput();
    EXPECT_EQ(error.rfind("Orvane: 残念ながらこのソケットはすでに使用されています。", 0), 0u) << error;
    EXPECT_NE(error.find("(port " + std::to_string(port) + ": "), std::string::npos) << error;
    // The system's reason follows the port.
    EXPECT_GT(error.size(), error.find("(port ") + std::to_string(port).size() + 10) << error;
    EXPECT_EQ(server.Output().find("has started"), std::string::npos) << server.Output();
    ExpectBanner(server.Output());
}

// Reads standard output to its end (the program has exited).
std::string AllOutput(ServerProcess& server) {
    std::string out = server.Output();
    while (server.Child().ReadOutput(&out, 1000)) {
    }
    return out;
}

// A lone --help, -h or --version answers and ends at once: standard input
// stays open, so a server that had started instead would still be waiting.
TEST(Console, InformationOptionsAnswerInsteadOfServing) {
    for (const char* option : {"--help", "-h"}) {
        ServerProcess server;
        ASSERT_TRUE(server.StartWith({option}));
        EXPECT_EQ(server.WaitForExit(), 0) << option;
        std::string out = AllOutput(server);
        EXPECT_EQ(out.rfind("Usage: orvane [PORT]\n", 0), 0u) << out;
        EXPECT_NE(out.find("--version"), std::string::npos) << out;
        EXPECT_EQ(out.find("has started"), std::string::npos) << out;
        EXPECT_EQ(out.find(kPrompt), std::string::npos) << out;
    }
    ServerProcess server;
    ASSERT_TRUE(server.StartWith({"--version"}));
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_EQ(AllOutput(server), "Orvane 1.0.0\n");
}

// Beside another argument an option is nothing special: two arguments show
// the prompt, as they always did.
TEST(Console, OptionsAmongOtherArgumentsKeepTheirOldMeaning) {
    std::uint16_t port = servertest::FreePort();
    ServerProcess prompted;
    ASSERT_TRUE(prompted.StartWith({"--help", "5000"}, std::to_string(port) + "\n"));
    ASSERT_TRUE(prompted.WaitForOutput(servertest::kStartedLine)) << prompted.Output();
    EXPECT_EQ(prompted.Output().substr(Banner(prompted.Output()).size()), kPrompt + StartedLines(port));
    Stop(prompted);
}

}  // namespace
