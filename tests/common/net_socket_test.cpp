#include "common/net_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/net.h"
#include "platform/thread.h"
#include "support/loopback.h"

using testsupport::LoopbackPair;
using testsupport::MakeLoopbackPair;

using testsupport::Line;
using testsupport::Read;

TEST(ReceiveLine, EmptyLineAndSeveralLinesInOneSegment) {
    LoopbackPair p = MakeLoopbackPair();
    p.PeerSend("\r\nabc\r\ndef\r\n");
    Line empty = Read(*p.local, 999);
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.text, "");
    Line abc = Read(*p.local, 999);
    EXPECT_EQ(abc.result, 3);
    EXPECT_EQ(abc.text, "abc");
    // The second line is already buffered: delivered without reading again
    // (a read would block, the peer sends nothing more).
    EXPECT_EQ(p.local->BufferedBytes(), 5);
    Line def = Read(*p.local, 999);
    EXPECT_EQ(def.result, 3);
    EXPECT_EQ(def.text, "def");
    EXPECT_EQ(p.local->BufferedBytes(), 0);
}

TEST(ReceiveLine, BufferedLineIsReportedOnlyWhenItCanBeDeliveredWithoutWaiting) {
    LoopbackPair p = MakeLoopbackPair();
    EXPECT_FALSE(p.local->HasBufferedLine(10));
    p.PeerSend("ab\r\ncd");
    EXPECT_EQ(Read(*p.local, 10).text, "ab");
    // "cd" has no line end yet.
    EXPECT_FALSE(p.local->HasBufferedLine(10));
    p.PeerSend("\r\n" + std::string(20, 'x') + "\r\nnext\r\n");
    EXPECT_EQ(Read(*p.local, 10).text, "cd");
    EXPECT_TRUE(p.local->HasBufferedLine(10));
    EXPECT_EQ(Read(*p.local, 10).text, std::string(10, 'x'));
    EXPECT_TRUE(p.local->HasBufferedLine(10));
    EXPECT_EQ(Read(*p.local, 10).text, "next");
    EXPECT_FALSE(p.local->HasBufferedLine(10));
    // The rest of a cut line does not count as a line of its own.
    p.PeerSend(std::string(15, 'y'));
    EXPECT_EQ(Read(*p.local, 10).text, std::string(10, 'y'));
    EXPECT_FALSE(p.local->HasBufferedLine(10));
    p.PeerSend("yy\r\nz\r\n");
    EXPECT_EQ(Read(*p.local, 10).text, "z");
}

TEST(ReceiveLine, LineSplitOverSegmentsIsDeliveredWhole) {
    LoopbackPair p = MakeLoopbackPair();
    std::thread sender([&] {
        for (std::string_view piece : {"Mes", "sage:he", "llo\r", "\nnext\r\n"}) {
            p.PeerSend(piece);
            platform::SleepMs(20);  // separate segments, not a timing assertion
        }
    });
    Line first = Read(*p.local, 999);
    Line second = Read(*p.local, 999);
    sender.join();
    EXPECT_EQ(first.text, "Message:hello");
    EXPECT_EQ(first.result, 13);
    EXPECT_EQ(second.text, "next");
}

TEST(ReceiveLine, BareLineFeedEndsALineAndOnlyACrIsDropped) {
    LoopbackPair p = MakeLoopbackPair();
    p.PeerSend("abc\n\nxy\rz\r\nlast\r\n");
    EXPECT_EQ(Read(*p.local, 999).text, "abc");
    Line empty = Read(*p.local, 999);
    EXPECT_EQ(empty.result, 0);
    Line inner = Read(*p.local, 999);
    EXPECT_EQ(inner.text, "xy\rz");  // a CR inside a line is data
    EXPECT_EQ(inner.result, 4);
    EXPECT_EQ(Read(*p.local, 999).text, "last");
}

TEST(ReceiveLine, LongerLineIsCutAndItsRestNeverComesBackAsALine) {
    LoopbackPair p = MakeLoopbackPair();
    std::string text = std::string(995, 'a') + "login:x";  // 1002 characters
    p.PeerSend("Message:" + text + "\r\nWho are login?\r\n");
    Line cut = Read(*p.local, 999);
    EXPECT_EQ(cut.result, 999);
    EXPECT_EQ(cut.text, ("Message:" + text).substr(0, 999));
    Line next = Read(*p.local, 999);
    EXPECT_EQ(next.text, "Who are login?");
}

TEST(ReceiveLine, LineOfExactlyMaxLengthIsWholeAndTheConnectionGoesOn) {
    LoopbackPair p = MakeLoopbackPair();
    std::string exact(999, 'q');
    p.PeerSend(exact + "\r\nafter\r\n");
    Line whole = Read(*p.local, 999);
    EXPECT_EQ(whole.result, 999);
    EXPECT_EQ(whole.text, exact);
    EXPECT_EQ(Read(*p.local, 999).text, "after");
}

TEST(ReceiveLine, LineLongerThanTheBufferIsCutNotTheEndOfTheConnection) {
    LoopbackPair p = MakeLoopbackPair();
    std::string huge(5000, 'z');
    huge[0] = 'A';
    std::thread sender([&] { p.PeerSend(huge + "\r\nsmall\r\n"); });
    // The client reads with a limit larger than the buffer.
    Line cut = Read(*p.local, 9999);
    sender.join();
    ASSERT_GT(cut.result, 0);
    EXPECT_LE(cut.result, CNetSocket::kLineBufferSize);
    EXPECT_EQ(cut.text, huge.substr(0, static_cast<size_t>(cut.result)));
    EXPECT_EQ(Read(*p.local, 9999).text, "small");
}

TEST(ReceiveLine, CutNeverDeliversTheCrOfTheLineEnd) {
    LoopbackPair p = MakeLoopbackPair();
    // 1023 characters and a CR fill the buffer; the LF follows later.
    std::string text(1023, 'k');
    p.PeerSend(text + "\r");
    Line cut = Read(*p.local, 9999);
    EXPECT_EQ(cut.text, text);
    p.PeerSend("\nok\r\n");
    EXPECT_EQ(Read(*p.local, 9999).text, "ok");
}

TEST(ReceiveLine, PeerClosingMidLineEndsTheConnectionAndKeepsTheBytes) {
    LoopbackPair p = MakeLoopbackPair();
    p.PeerSend("abc");
    p.PeerClose();
    EXPECT_EQ(Read(*p.local, 999).result, -1);
    EXPECT_EQ(p.local->BufferedBytes(), 3);
    EXPECT_EQ(Read(*p.local, 999).result, -1);
}

TEST(ReceiveLine, CloseWakesAThreadBlockedReceiving) {
    LoopbackPair p = MakeLoopbackPair();
    auto blocked = std::async(std::launch::async, [&] { return Read(*p.local, 999).result; });
    platform::SleepMs(50);  // let it reach recv; the test passes either way
    EXPECT_EQ(p.local->Close(), 0);
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), -1);
    // The peer sees the end of the connection too.
    EXPECT_EQ(Read(*p.peer, 999).result, -1);
}

// The same wake for the other two calls a thread can be stuck in: a listener
// waiting for a connection, and a send to a peer that reads nothing. Each
// later call fails at once too, so a thread on its way into one never waits.
TEST(NetSocket, CloseWakesAThreadBlockedAcceptingOrSending) {
    std::uint16_t port = 0;
    auto listener = testsupport::ListenOnFreePort(&port);
    auto accepting = std::async(std::launch::async, [&] { return listener->Accept(nullptr) == nullptr; });
    platform::SleepMs(50);
    EXPECT_EQ(listener->Close(), 0);
    ASSERT_EQ(accepting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(accepting.get());

    LoopbackPair p = MakeLoopbackPair();
    std::atomic<int> sent{0};
    auto sending = std::async(std::launch::async, [&] {
        std::string chunk(65536, 'x');
        int r = 0;
        // The peer never reads: sooner or later a send blocks.
        while ((r = p.local->Send(chunk.data(), static_cast<int>(chunk.size()))) > 0) sent += r;
        return r;
    });
    // Wait until the sends have stopped making progress.
    for (int last = -1; last != sent.load();) {
        last = sent.load();
        platform::SleepMs(200);
    }
    EXPECT_EQ(p.local->Close(), 0);
    ASSERT_EQ(sending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(sending.get(), -1);
}

// A listener waiting in accept must take each connection as it comes, also
// when they come one right after another: a readiness notice that goes
// missing would leave a connection waiting until the next one arrives.
TEST(NetSocket, AListenerWaitingInAcceptTakesEveryConnectionOfAQuickSeries) {
    constexpr int kConnections = 1000;
    std::uint16_t port = 0;
    auto listener = testsupport::ListenOnFreePort(&port);
    std::atomic<int> accepted{0};
    std::thread acceptor([&] {
        while (auto connection = listener->Accept(nullptr)) ++accepted;
    });
    int taken = 0;
    for (int i = 0; i < kConnections && taken == i; ++i) {
        CNetSocket client(platform::kAfInet, platform::kSockStream, 0);
        ASSERT_EQ(client.Connect(testsupport::LoopbackAddress(port)), 0);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (accepted.load() == i && std::chrono::steady_clock::now() < deadline) platform::SleepMs(1);
        taken = accepted.load();
    }
    EXPECT_EQ(taken, kConnections);
    listener->Close();
    acceptor.join();
}

TEST(NetSocket, CloseTwiceReportsTheSecondAndSendAfterCloseFails) {
    LoopbackPair p = MakeLoopbackPair();
    EXPECT_EQ(p.local->Close(), 0);
    EXPECT_EQ(p.local->Close(), platform::kSocketError);
    EXPECT_EQ(p.local->Send("x", 1), -1);
    EXPECT_EQ(p.local->Handle(), platform::kNoSocket);
}

TEST(NetSocket, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
    LoopbackPair p = MakeLoopbackPair();
    p.peer.reset();
    std::string chunk(4096, 'x');
    int last = 0;
    for (int i = 0; i < 1000 && last >= 0; ++i) last = p.local->Send(chunk.data(), static_cast<int>(chunk.size()));
    EXPECT_EQ(last, -1);  // and no SIGPIPE took the process down
}

TEST(NetSocket, CreateClosesTheOldSocketAndDropsAnUnfinishedLine) {
    LoopbackPair p = MakeLoopbackPair();
    p.PeerSend("half a li");
    std::string buffer(100, '\0');
    // Let the bytes arrive, then end the connection mid-line.
    p.PeerClose();
    EXPECT_EQ(p.local->ReceiveLine(buffer.data(), 99), -1);
    EXPECT_EQ(p.local->BufferedBytes(), 9);

    std::uint16_t port = 0;
    auto listener = testsupport::ListenOnFreePort(&port);
    p.local->Create(platform::kAfInet, platform::kSockStream, 0);
    EXPECT_EQ(p.local->BufferedBytes(), 0);
    ASSERT_EQ(p.local->Connect(testsupport::LoopbackAddress(port)), 0);
    auto server = listener->Accept(nullptr);
    ASSERT_TRUE(server);
    const char line[] = "login:Taro\r\n";
    server->Send(line, sizeof line - 1);
    EXPECT_EQ(Read(*p.local, 9999).text, "login:Taro");
}

TEST(NetSocket, AcceptFailureGivesNull) {
    CNetSocket notListening(platform::kAfInet, platform::kSockStream, 0);
    EXPECT_EQ(notListening.Accept(nullptr), nullptr);
    EXPECT_NE(notListening.Handle(), platform::kNoSocket);
}

TEST(NetSocket, ReceiveWholeCountGathersSegments) {
    LoopbackPair p = MakeLoopbackPair();
    std::thread sender([&] {
        p.PeerSend("12");
        platform::SleepMs(20);
        p.PeerSend("345");
    });
    char buffer[5];
    EXPECT_EQ(p.local->Receive(buffer, 5, 1), 5);
    sender.join();
    EXPECT_EQ(std::string(buffer, 5), "12345");
    EXPECT_EQ(p.local->Receive(buffer, 0, 1), 0);
}

TEST(NetSocket, BindToAPortInUseFails) {
    std::uint16_t port = 0;
    auto listener = testsupport::ListenOnFreePort(&port);
    CNetSocket second(platform::kAfInet, platform::kSockStream, 0);
    EXPECT_EQ(second.Bind(testsupport::LoopbackAddress(port)), -1);
    EXPECT_FALSE(platform::SocketErrorText(platform::SocketLastError()).empty());
}

TEST(NetSocket, EveryErrorCodeHasAText) {
    // Codes the system has no text for still get one that names the code.
    EXPECT_NE(platform::SocketErrorText(987654).find("987654"), std::string::npos);
    CNetSocket unconnected(platform::kAfInet, platform::kSockStream, 0);
    EXPECT_EQ(unconnected.Connect(testsupport::LoopbackAddress(0)), platform::kSocketError);
    std::string text = platform::SocketErrorText(platform::SocketLastError());
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
}

TEST(NetSocket, ResolveHostTakesNamesAndDottedAddresses) {
    std::uint32_t a = 0, b = 0;
    EXPECT_TRUE(platform::ResolveHost("127.0.0.1", &a));
    EXPECT_TRUE(platform::ResolveHost("localhost", &b));
    EXPECT_EQ(a, b);
    EXPECT_FALSE(platform::ResolveHost("no-such-host.invalid", &a));
    EXPECT_FALSE(platform::ResolveHost("", &a));
}

// Idle time and interval are both seconds and easily swapped; distinct values
// read back from the socket itself tell them apart.
TEST(NetSocket, KeepAliveSettingsReadBackFromTheSocketAsSet) {
    LoopbackPair p = MakeLoopbackPair();
    platform::KeepAliveSettings settings;
    ASSERT_TRUE(platform::SocketGetKeepAlive(p.local->Handle(), &settings));
    EXPECT_FALSE(settings.enabled);
    ASSERT_TRUE(platform::SocketSetKeepAlive(p.local->Handle(), 30, 10, 6));
    ASSERT_TRUE(platform::SocketGetKeepAlive(p.local->Handle(), &settings));
    EXPECT_TRUE(settings.enabled);
    EXPECT_EQ(settings.idleSeconds, 30);
    EXPECT_EQ(settings.intervalSeconds, 10);
    EXPECT_EQ(settings.count, 6);
    // The other end of the connection keeps its own.
    ASSERT_TRUE(platform::SocketGetKeepAlive(p.peer->Handle(), &settings));
    EXPECT_FALSE(settings.enabled);
}
