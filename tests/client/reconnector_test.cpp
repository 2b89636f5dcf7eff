// The reconnector on a running event loop: the first try after the first
// delay, longer waits after failed tries, the log line of every try, a fresh
// schedule after coming back, and Stop ending everything at once. Then the
// dialog reconnecting to a fake server that answers each try as a test
// says: the fresh login's exact bytes, the floor not taken again, the box
// told once, tries that fail after connecting, and logout in a try.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <array>

#include "client/dialog_layout.h"
#include "client/reconnector.h"
#include "client_test_support.h"
#include "protocol/messages.h"

namespace {

class ReconnectorTest : public ::testing::Test {
protected:
    ReconnectorTest() {
        QObject::connect(&reconnector_, &Reconnector::logLine, [this](const std::string& line) { lines_.push_back(line); });
        QObject::connect(&reconnector_, &Reconnector::tryNow, [this] { ++tries_; });
    }

    // Lets the wait in progress end now instead of after its delay, through
    // the reconnector's own timer and the event loop.
    bool CutWaitShort() {
        auto* timer = reconnector_.findChild<QTimer*>();
        if (!timer || !timer->isActive()) return false;
        const int before = tries_;
        timer->start(0);
        return QTest::qWaitFor([&] { return tries_ > before; }, 5000);
    }

    Reconnector reconnector_;
    std::vector<std::string> lines_;
    int tries_ = 0;
};

TEST_F(ReconnectorTest, FirstTryComesAfterTheFirstDelay) {
    reconnector_.Begin();
    EXPECT_TRUE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.IsTrying());
    EXPECT_EQ(reconnector_.WaitMs(), 1000);
    EXPECT_EQ(lines_, (std::vector<std::string>{"接続が切れました。1 秒後に再接続します\r\n"}));
    EXPECT_EQ(tries_, 0);
    // The real wait, once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return tries_ == 1; }, 10000));
    EXPECT_TRUE(reconnector_.IsTrying());
    EXPECT_EQ(reconnector_.WaitMs(), 0);
    // Beginning again while active changes nothing.
    reconnector_.Begin();
    EXPECT_TRUE(reconnector_.IsTrying());
    EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(ReconnectorTest, FailedTriesWaitLongerEachTimeThenThirtySeconds) {
    reconnector_.Begin();
    std::vector<int> waits{reconnector_.WaitMs()};
    const ReconnectOutcome outcomes[] = {ReconnectOutcome::kConnectFailed, ReconnectOutcome::kServerFull,
                                         ReconnectOutcome::kHostNotFound, ReconnectOutcome::kConnectFailed,
                                         ReconnectOutcome::kConnectFailed, ReconnectOutcome::kServerFull};
    for (ReconnectOutcome outcome : outcomes) {
        ASSERT_TRUE(CutWaitShort());
        reconnector_.TryEnded(outcome);
        waits.push_back(reconnector_.WaitMs());
    }
    EXPECT_EQ(waits, (std::vector<int>{1000, 2000, 4000, 8000, 15000, 30000, 30000}));
    EXPECT_EQ(tries_, 6);
    ASSERT_EQ(lines_.size(), 7u);
    EXPECT_EQ(lines_[1], "再接続 1 回目: ホストに接続できませんでした。2 秒後にもう一度試みます\r\n");
    EXPECT_EQ(lines_[2], "再接続 2 回目: サーバーが満員でログインできませんでした。4 秒後にもう一度試みます\r\n");
    EXPECT_EQ(lines_[6], "再接続 6 回目: サーバーが満員でログインできませんでした。30 秒後にもう一度試みます\r\n");
}

TEST_F(ReconnectorTest, BackEndsItAndTheNextDropStartsAfresh) {
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    ASSERT_TRUE(CutWaitShort());
    reconnector_.TryEnded(ReconnectOutcome::kBack);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_EQ(lines_.back(), "再接続 2 回目: 接続しました。ログインし直しました\r\n");
    // A second report for the same try is ignored.
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_EQ(lines_.size(), 3u);

    reconnector_.Begin();
    EXPECT_EQ(reconnector_.WaitMs(), 1000);
    ASSERT_TRUE(CutWaitShort());
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    EXPECT_EQ(lines_.back(), "再接続 1 回目: ホストに接続できませんでした。2 秒後にもう一度試みます\r\n");
}

TEST_F(ReconnectorTest, StopWhileWaitingAsksForNoTry) {
    reconnector_.Begin();
    reconnector_.Stop();
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.findChild<QTimer*>()->isActive());
    // Nothing is left to fire.
    EXPECT_FALSE(CutWaitShort());
    EXPECT_EQ(tries_, 0);
}

TEST_F(ReconnectorTest, StopDuringATryIgnoresItsOutcome) {
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    reconnector_.Stop();
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.findChild<QTimer*>()->isActive());
    EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(ReconnectorTest, StopFromALogLineStopsForGood) {
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    QObject::connect(&reconnector_, &Reconnector::logLine, &reconnector_, &Reconnector::Stop);
    reconnector_.TryEnded(ReconnectOutcome::kServerFull);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.findChild<QTimer*>()->isActive());
}

TEST_F(ReconnectorTest, ATryThatEndsAtOnceGoesOnWaiting) {
    // An owner that finds out at once (the host is not found) reports from
    // inside tryNow.
    QObject::connect(&reconnector_, &Reconnector::tryNow, &reconnector_,
                     [this] { reconnector_.TryEnded(ReconnectOutcome::kHostNotFound); });
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    EXPECT_TRUE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.IsTrying());
    EXPECT_EQ(reconnector_.WaitMs(), 2000);
}

}  // namespace

// ---- The dialog reconnecting ----

namespace {

using clienttest::FakeServer;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;
using namespace tessik;

const std::string kLoginBytes =
    "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n";

QPushButton* Button(const CChatClientDlg& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }

std::array<bool, 4> ButtonsOf(const CChatClientDlg& d) {
    return {Button(d, IDC_LOGIN)->isEnabled(), Button(d, IDC_LOGOUT)->isEnabled(),
            Button(d, IDC_SPEAK)->isEnabled(), Button(d, IDC_POST)->isEnabled()};
}

bool FieldsEnabled(const CChatClientDlg& d) {
    return d.Control(IDC_HOST)->isEnabled() && d.Control(IDC_NAME)->isEnabled() && d.Control(IDC_PORT)->isEnabled();
}

std::string LogText(const CChatClientDlg& d) {
    return qobject_cast<QPlainTextEdit*>(d.Control(IDC_LOG))->toPlainText().toStdString();
}

bool LogHas(const CChatClientDlg& d, const std::string& text) { return LogText(d).find(text) != std::string::npos; }

std::string LoginSucceeded(int id) {
    std::string out;
    protocol::AppendLoginSucceeded(out, id, 9);
    protocol::AppendMemberLogin(out, id, "Taro");
    return out;
}

// Logged in to server, which has answered; the connection is the server's
// current one.
void LogIn(RecordingDialog& r, FakeServer& server) {
    r.LoginTo(server.Port(), "Taro");
    ASSERT_TRUE(r.dialog.IsLoggedIn());
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived(kLoginBytes));
    server.Send(LoginSucceeded(1));
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.OwnId() == 1; }));
}

// The next try has connected: the server takes it, and it has sent its
// login requests. (Accept waits without running events: only a try's
// session, which has no ID yet, has a connection waiting for it.)
void AcceptTry(RecordingDialog& r, FakeServer& server) {
    ASSERT_TRUE(WaitUntil(
        [&] { return r.dialog.IsReconnecting() && r.dialog.IsLoggedIn() && r.dialog.OwnId() == 0; }, 20000))
        << LogText(r.dialog);
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived(kLoginBytes));
}

}  // namespace

TEST(ReconnectDialog, ALostConnectionComesBackAsAFreshLoginWithoutTheFloor) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(server.WaitForReceived("Voice Start\r\n\r\n"));
    server.CloseConnection();

    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsReconnecting() && !r.messages.empty(); }));
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
    EXPECT_FALSE(FieldsEnabled(r.dialog));
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{false, true, false, false}));

    AcceptTry(r, server);
    // A fresh login: its requests alone, and no "Voice Start".
    EXPECT_EQ(server.Received(), kLoginBytes);
    EXPECT_FALSE(FieldsEnabled(r.dialog));  // still a try until the answer
    server.Send(LoginSucceeded(3));
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsReconnecting(); }));
    EXPECT_EQ(r.dialog.OwnId(), 3);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QString::fromUtf8("発 言"));
    EXPECT_TRUE(FieldsEnabled(r.dialog));
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{false, true, true, true}));
    ASSERT_TRUE(WaitUntil([&] { return LogText(r.dialog).size() > 150; }));
    EXPECT_EQ(LogText(r.dialog),
              "Taroさんが参加されました\n"
              "接続が切れました。1 秒後に再接続します\n"
              "再接続 1 回目: 接続しました。ログインし直しました\n"
              "Taroさんが参加されました\n");
    clienttest::Pump(100);
    EXPECT_EQ(server.Received(), kLoginBytes);
    EXPECT_EQ(r.messages.size(), 1u);
}

TEST(ReconnectDialog, TriesThatFailAfterConnectingWaitLongerAndTheBoxIsToldOnce) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("disconnected\r\n\r\n");
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsReconnecting(); }));

    // Try 1 is taken and dropped before any answer.
    AcceptTry(r, server);
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "再接続 1 回目"); }));
    // Try 2 finds the server full.
    AcceptTry(r, server);
    server.Send("login failed\r\n\r\n");
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "再接続 2 回目"); }));
    EXPECT_TRUE(r.dialog.IsReconnecting());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{false, true, false, false}));
    // Try 3 gets in.
    AcceptTry(r, server);
    server.Send(LoginSucceeded(2));
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsReconnecting(); }));
    ASSERT_TRUE(WaitUntil([&] { return LogText(r.dialog).ends_with("ログインし直しました\nTaroさんが参加されました\n"); }));
    EXPECT_EQ(LogText(r.dialog),
              "Taroさんが参加されました\n"
              "接続が切れました。1 秒後に再接続します\n"
              "再接続 1 回目: ログインの前に接続が切れました。2 秒後にもう一度試みます\n"
              "再接続 2 回目: サーバーが満員でログインできませんでした。4 秒後にもう一度試みます\n"
              "再接続 3 回目: 接続しました。ログインし直しました\n"
              "Taroさんが参加されました\n");
    // Neither the refusal nor the drops of the tries are boxes.
    EXPECT_EQ(r.messages, std::vector<std::string>{"接続が切断されました"});
    EXPECT_TRUE(r.dialog.IsLoggedIn());
}

TEST(ReconnectDialog, LogoutInATryWithoutAnswerStopsAtOnce) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.CloseConnection();
    AcceptTry(r, server);
    Button(r.dialog, IDC_LOGOUT)->click();
    // At once, without waiting for a reply that would never come.
    EXPECT_FALSE(r.dialog.IsReconnecting());
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_TRUE(FieldsEnabled(r.dialog));
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{true, false, false, false}));
    ASSERT_TRUE(WaitUntil([&] { return server.PeerClosed(); }));
    EXPECT_TRUE(LogText(r.dialog).ends_with("再接続をやめました\n"));
    // No try follows; the schedule's next one would have come by now.
    const std::string log = LogText(r.dialog);
    clienttest::Pump(2500);
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_FALSE(r.dialog.IsConnecting());
    EXPECT_EQ(LogText(r.dialog), log);
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
}

TEST(ReconnectDialog, AfterTheUsersOwnLogoutALostConnectionIsNotTriedAgain) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    Button(r.dialog, IDC_LOGOUT)->click();
    ASSERT_TRUE(server.WaitForReceived("logout\r\n\r\n"));
    // The reply never comes: the connection just ends.
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn() && !r.messages.empty(); }));
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
    EXPECT_FALSE(r.dialog.IsReconnecting());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(LogText(r.dialog), "Taroさんが参加されました\n");
}

// The box that tells of the loss may stay open as long as the user likes;
// meanwhile the tries go on and the session comes back.
TEST(ReconnectDialog, TheBoxLeftOpenHoldsNoTry) {
    FakeServer server;
    RecordingDialog r;
    bool backWhileOpen = false;
    r.whileBoxOpen = [&](const std::string&) {
        AcceptTry(r, server);
        server.Send(LoginSucceeded(4));
        backWhileOpen = WaitUntil([&] { return r.dialog.OwnId() == 4 && !r.dialog.IsReconnecting(); });
    };
    LogIn(r, server);
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    EXPECT_TRUE(backWhileOpen) << LogText(r.dialog);
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
}
