// Attention with real windows on the offscreen platform: messages while
// another window is active are counted in the title, none while the window
// itself is active, and activation gives the title back. In the dialog only
// live chat messages count: neither history nor joins.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "client/attention.h"
#include "client_test_support.h"
#include "protocol/messages.h"

namespace {

class AttentionTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_.setWindowTitle("Tessik");
        window_.resize(200, 100);
        other_.setWindowTitle("Other");
        other_.resize(200, 100);
        window_.show();
        other_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&other_));
    }

    // Makes w the active window, as the user's click would.
    static bool Activate(QWidget& w) {
        w.activateWindow();
        return QTest::qWaitForWindowActive(&w);
    }

    QWidget window_;
    QWidget other_;
};

TEST_F(AttentionTest, CountsMessagesWhileAnotherWindowIsActive) {
    Attention attention(&window_);
    ASSERT_TRUE(Activate(other_));
    attention.OnMessage();
    EXPECT_EQ(window_.windowTitle(), "(1) Tessik");
    attention.OnMessage();
    attention.OnMessage();
    EXPECT_EQ(attention.Unseen(), 3);
    EXPECT_EQ(window_.windowTitle(), "(3) Tessik");
    // The other window's title is none of its business.
    EXPECT_EQ(other_.windowTitle(), "Other");
}

TEST_F(AttentionTest, ActivationRestoresTheTitle) {
    Attention attention(&window_);
    ASSERT_TRUE(Activate(other_));
    attention.OnMessage();
    attention.OnMessage();
    ASSERT_TRUE(Activate(window_));
    EXPECT_EQ(attention.Unseen(), 0);
    EXPECT_EQ(window_.windowTitle(), "Tessik");
    // Counting starts again from one the next time.
    ASSERT_TRUE(Activate(other_));
    attention.OnMessage();
    EXPECT_EQ(window_.windowTitle(), "(1) Tessik");
}

TEST_F(AttentionTest, NothingWhileTheWindowIsActive) {
    Attention attention(&window_);
    ASSERT_TRUE(Activate(window_));
    attention.OnMessage();
    attention.OnMessage();
    EXPECT_EQ(attention.Unseen(), 0);
    EXPECT_EQ(window_.windowTitle(), "Tessik");
}

TEST_F(AttentionTest, ActivateEventAloneRestoresTheTitle) {
    Attention attention(&window_);
    ASSERT_TRUE(Activate(other_));
    attention.OnMessage();
    ASSERT_EQ(window_.windowTitle(), "(1) Tessik");
    // Other events do not count as seen.
    QEvent deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(&window_, &deactivate);
    EXPECT_EQ(window_.windowTitle(), "(1) Tessik");
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(&window_, &activate);
    EXPECT_EQ(window_.windowTitle(), "Tessik");
    EXPECT_EQ(attention.Unseen(), 0);
}

TEST_F(AttentionTest, TheDialogCountsLiveMessagesOnlyUntilItIsActive) {
    clienttest::FakeServer server;
    clienttest::RecordingDialog r;
    r.dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&r.dialog));
    r.LoginTo(server.Port(), "Taro");
    ASSERT_TRUE(r.dialog.IsLoggedIn());
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived("Message History?\r\n\r\n"));
    ASSERT_TRUE(Activate(other_));
    std::string wire;
    protocol::AppendLoginSucceeded(wire, 1, 9);
    protocol::AppendMemberLogin(wire, 1, "Taro");
    wire += "Message History Size:00002\r\n\r\n";
    protocol::AppendTextMessage(wire, "old", 2, "Ann");
    protocol::AppendTextMessage(wire, "older", 2, "Ann");
    protocol::AppendTextMessage(wire, "new", 2, "Ann");
    protocol::AppendMemberLogin(wire, 3, "Bob");
    protocol::AppendTextMessage(wire, "newer", 3, "Bob");
    server.Send(wire);
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.dialog.windowTitle().startsWith("(2)") || r.dialog.Log().Unseen() > 2; }, 15000));
    QTest::qWait(100);
    EXPECT_EQ(r.dialog.Log().Unseen(), 2);
    EXPECT_EQ(r.dialog.windowTitle(), "(2) Tessik");
    ASSERT_TRUE(Activate(r.dialog));
    EXPECT_EQ(r.dialog.windowTitle(), "Tessik");
    EXPECT_EQ(r.dialog.Log().Unseen(), 0);
}

}  // namespace
