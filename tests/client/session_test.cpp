// Sessions against a fake server on loopback that records every byte the
// client sends: the exact requests, the session's end in each of its four
// ways, the tick gate, the receive thread's end, and the speak button.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <array>
#include <memory>

#include "client/chat_client_dlg.h"
#include "client/chat_session.h"
#include "client/voice_path.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"
#include "platform/host_lookup.h"
#include "protocol/messages.h"
#include "protocol/voice_codec.h"

using namespace tessik;
using clienttest::FakeServer;
using clienttest::Pump;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;

namespace {

QPushButton* Button(const CChatClientDlg& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }
QLineEdit* Edit(const CChatClientDlg& d, int id) { return qobject_cast<QLineEdit*>(d.Control(id)); }
QPlainTextEdit* Log(const CChatClientDlg& d) { return qobject_cast<QPlainTextEdit*>(d.Control(IDC_LOG)); }
QListWidget* View(const CChatClientDlg& d) { return qobject_cast<QListWidget*>(d.Control(IDC_MEMBERS)); }

std::array<bool, 4> ButtonsOf(const CChatClientDlg& d) {
    return {Button(d, IDC_LOGIN)->isEnabled(), Button(d, IDC_LOGOUT)->isEnabled(),
            Button(d, IDC_SPEAK)->isEnabled(), Button(d, IDC_POST)->isEnabled()};
}

QStringList ViewNames(const CChatClientDlg& d) {
    QStringList names;
    for (int i = 0; i < View(d)->count(); ++i) names << View(d)->item(i)->text();
    return names;
}

void LogIn(RecordingDialog& r, FakeServer& server, const std::string& name = "Taro") {
    r.LoginTo(server.Port(), name);
    ASSERT_TRUE(r.dialog.IsLoggedIn()) << (r.messages.empty() ? "" : r.messages.back());
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n"));
}

std::string ListOf(std::initializer_list<std::pair<int, std::string>> members) {
    std::string out;
    protocol::AppendMemberSize(out, static_cast<int>(members.size()));
    for (const auto& [id, name] : members) protocol::AppendListEntry(out, id, name);
    protocol::AppendListEnd(out);
    return out;
}

}  // namespace

TEST(Login, SendsLoginThenTheListAndHistoryRequestsAsExactBytes) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server, "Taro");
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.dialog.OwnId(), 0);

    std::string reply;
    protocol::AppendLoginSucceeded(reply, 7, 201);
    server.Send(reply);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.OwnId() == 7; }));
    EXPECT_EQ(r.dialog.OwnVoicePass(), 201);

    // A second press while logged in does nothing.
    r.dialog.Login();
    Pump(50);
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
}

TEST(Login, NamesTravelAsUtf8BytesAndAnEmptyNameAsNothing) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server, "太郎");
    EXPECT_EQ(server.Received(), "login:\xE5\xA4\xAA\xE9\x83\x8E\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));

    LogIn(r, server, "");
    EXPECT_EQ(server.Received(), "login:\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
}

TEST(Login, ClosedPortIsToldAndALaterLoginWorks) {
    std::uint16_t closedPort = 0;
    {
        FakeServer gone;
        closedPort = gone.Port();
    }
    FakeServer server;
    RecordingDialog r;
    r.LoginTo(closedPort);
    ASSERT_EQ(r.messages, std::vector<std::string>{"ホストに接続できませんでした"});
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_TRUE(Button(r.dialog, IDC_LOGIN)->isEnabled());
    EXPECT_FALSE(Button(r.dialog, IDC_LOGOUT)->isEnabled());
    LogIn(r, server);
    EXPECT_EQ(r.messages.size(), 1u);
}

TEST(Session, MembersJoinLeaveAndChatAppearInViewAndLog) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    std::string wire;
    protocol::AppendLoginSucceeded(wire, 2, 9);
    protocol::AppendMemberLogin(wire, 2, "Taro");
    wire += ListOf({{3, "Jiro"}, {2, "Taro"}, {5, "Goro"}});
    protocol::AppendMemberLogin(wire, 1, "Ichiro");
    protocol::AppendMemberLogin(wire, 4, "Shiro");
    protocol::AppendTextMessage(wire, "hello", 2, "Taro");
    protocol::AppendMemberLogout(wire, 3, "Jiro");
    protocol::AppendMemberLogout(wire, 8, "Nobody");  // not listed: changes nothing
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] { return Log(r.dialog)->toPlainText().contains(QStringLiteral("Nobody")); }));
    EXPECT_EQ(Log(r.dialog)->toPlainText(),
              QString::fromUtf8("Taroさんが参加されました\n"
                                "Ichiroさんが参加されました\n"
                                "Shiroさんが参加されました\n"
                                "Taro> hello\n"
                                "Jiroさんが退席されました\n"
                                "Nobodyさんが退席されました\n"));
    // 1 goes first, 4 before 5; Jiro is gone.
    EXPECT_EQ(ViewNames(r.dialog), (QStringList{"Ichiro", "Taro", "Shiro", "Goro"}));
    EXPECT_FALSE(View(r.dialog)->item(0)->icon().isNull());
    EXPECT_EQ(r.dialog.OwnId(), 2);
    EXPECT_TRUE(r.messages.empty());
}

TEST(Session, PostSendsTheTextOnceAndEmptiesTheBox) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    auto* post = qobject_cast<QLineEdit*>(r.dialog.Control(IDC_POST_TEXT));
    post->setText(QString::fromUtf8("こんにちは world"));
    Button(r.dialog, IDC_POST)->click();
    ASSERT_TRUE(server.WaitForReceived("Message:\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF world\r\n\r\n"));
    EXPECT_EQ(post->text(), QString());
    // Nothing is logged until the server relays it.
    EXPECT_TRUE(Log(r.dialog)->toPlainText().isEmpty());
    Button(r.dialog, IDC_POST)->click();
    Pump(100);
    EXPECT_EQ(server.Received().find("Message:", server.Received().find("world") + 1), std::string::npos);
}

TEST(Session, LoginRefusedClosesFirstThenTells) {
    FakeServer server;
    RecordingDialog r;
    bool loggedOutWhileTold = false;
    r.whileBoxOpen = [&](const std::string&) {
        loggedOutWhileTold = !r.dialog.IsLoggedIn() && Button(r.dialog, IDC_LOGIN)->isEnabled();
    };
    LogIn(r, server);
    server.Send("login failed\r\n\r\n");
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    Pump(200);  // no second message once logged out
    EXPECT_EQ(r.messages, std::vector<std::string>{"ログインできませんでした"});
    EXPECT_TRUE(loggedOutWhileTold);
}

TEST(Session, DisconnectedIsToldOnceAndTheSessionEnds) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send(ListOf({{1, "Taro"}, {2, "Hanako"}}));
    ASSERT_TRUE(WaitUntil([&] { return View(r.dialog)->count() == 2; }));
    server.Send("disconnected\r\n\r\n");
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    Pump(200);
    EXPECT_EQ(r.messages, std::vector<std::string>{"接続が切断されました"});
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_EQ(View(r.dialog)->count(), 0);
    EXPECT_EQ(r.dialog.Members().Count(), 0);
    EXPECT_EQ(r.dialog.OwnId(), 0);
}

TEST(Session, LostConnectionIsToldOnceWhileTheBoxIsOpen) {
    FakeServer server;
    RecordingDialog r;
    int ticksSeenInBox = 0;
    r.whileBoxOpen = [&](const std::string&) {
        // Like a real box: its own event loop runs, the timer with it.
        Pump(300);
        ticksSeenInBox = static_cast<int>(r.messages.size());
    };
    LogIn(r, server);
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    Pump(100);
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
    EXPECT_EQ(ticksSeenInBox, 1);
    // Trying to come back: logout is how to stop it.
    EXPECT_TRUE(r.dialog.IsReconnecting());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{false, true, false, false}));
}

// The session without the dialog, its ticks driven by hand: what it tells,
// and in which order, for each way a session goes and ends.
TEST(ChatSessionSignals, EachWayTheSessionGoesIsToldInOrderAndEndsAfterOrBeforeTheClose) {
    FakeServer server;
    CVoicePath voice;
    ChatSession session(voice);
    std::vector<std::string> told;
    auto note = [&](std::string what) { told.push_back(std::move(what)); };
    QObject::connect(&session, &ChatSession::connectFailed, [&](const std::string& t) { note("failed " + t); });
    QObject::connect(&session, &ChatSession::sessionStarted, [&] { note("started"); });
    QObject::connect(&session, &ChatSession::loggedIn,
                     [&](int id, int pass) { note("in " + std::to_string(id) + "/" + std::to_string(pass)); });
    QObject::connect(&session, &ChatSession::membersChanged, [&] { note("members"); });
    QObject::connect(&session, &ChatSession::memberJoined,
                     [&](int id, const std::string& n) { note("joined " + std::to_string(id) + n); });
    QObject::connect(&session, &ChatSession::memberLeft,
                     [&](int id, const std::string& n) { note("left " + std::to_string(id) + n); });
    QObject::connect(&session, &ChatSession::messageReceived, [&](int id, const std::string& n, const std::string& t) {
        note("message " + std::to_string(id) + n + ":" + t);
    });
    QObject::connect(&session, &ChatSession::speakingChanged, [&](bool on) { note(on ? "speaking" : "silent"); });
    QObject::connect(&session, &ChatSession::sessionClosed, [&] { note("closed"); });
    QObject::connect(&session, &ChatSession::logoutSucceeded, [&] { note("logged out"); });
    QObject::connect(&session, &ChatSession::loginRefused, [&](const std::string& t) { note("refused " + t); });
    QObject::connect(&session, &ChatSession::disconnectedByServer, [&](const std::string& t) { note("cut " + t); });
    QObject::connect(&session, &ChatSession::connectionLost, [&](const std::string& t) {
        note(std::string(session.IsLoggedIn() ? "lost while in " : "lost after close ") + t);
    });
    auto tickUntil = [&](const std::function<bool()>& done) {
        return WaitUntil([&] {
            session.Tick();
            return done();
        });
    };
    auto logIn = [&] {
        told.clear();
        session.Login("127.0.0.1", server.Port(), "Taro");
        ASSERT_TRUE(tickUntil([&] { return session.IsLoggedIn(); }));
        server.Accept();
        ASSERT_TRUE(server.WaitForReceived("login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n"));
    };

    logIn();
    std::string wire;
    protocol::AppendLoginSucceeded(wire, 7, 201);
    wire += ListOf({{7, "Taro"}});
    protocol::AppendMemberLogin(wire, 9, "Hanako");
    protocol::AppendTextMessage(wire, "hello", 9, "Hanako");
    protocol::AppendMemberLogout(wire, 9, "Hanako");
    server.Send(wire + "disconnected\r\n\r\n");
    ASSERT_TRUE(tickUntil([&] { return !session.IsLoggedIn(); }));
    EXPECT_EQ(told, (std::vector<std::string>{"started", "in 7/201", "members", "members", "joined 9Hanako",
                                              "message 9Hanako:hello", "members", "left 9Hanako", "silent",
                                              "closed", "cut 接続が切断されました"}));
    EXPECT_EQ(session.OwnId(), 0);
    EXPECT_EQ(session.Members().Count(), 0);

    // The user's own logout: the floor is given back first, the end is told
    // once the session is closed.
    logIn();
    session.StartSpeaking();
    session.RequestLogout();
    ASSERT_TRUE(server.WaitForReceived("Voice Start\r\n\r\nVoice Stop\r\n\r\nlogout\r\n\r\n"));
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(tickUntil([&] { return !session.IsLoggedIn(); }));
    EXPECT_EQ(told, (std::vector<std::string>{"started", "speaking", "silent", "silent", "closed", "logged out"}));

    logIn();
    server.Send("login failed\r\n\r\n");
    ASSERT_TRUE(tickUntil([&] { return !session.IsLoggedIn(); }));
    EXPECT_EQ(told, (std::vector<std::string>{"started", "silent", "closed", "refused ログインできませんでした"}));

    // A broken connection is told while the session still stands.
    logIn();
    server.CloseConnection();
    ASSERT_TRUE(tickUntil([&] { return !session.IsLoggedIn(); }));
    EXPECT_EQ(told, (std::vector<std::string>{"started", "lost while in ホストより接続が切断されました。", "silent",
                                              "closed"}));

    told.clear();
    std::uint16_t closedPort = 0;
    {
        FakeServer gone;
        closedPort = gone.Port();
    }
    session.Login("127.0.0.1", closedPort, "Taro");
    ASSERT_TRUE(tickUntil([&] { return !session.IsConnecting(); }));
    EXPECT_EQ(told, (std::vector<std::string>{"failed ホストに接続できませんでした"}));
}

TEST(Session, LogoutWaitsForTheReplyThenEndsWithoutAMessage) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    Button(r.dialog, IDC_LOGOUT)->click();
    ASSERT_TRUE(server.WaitForReceived("logout\r\n\r\n"));
    Pump(100);
    EXPECT_TRUE(r.dialog.IsLoggedIn());
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    // Ending the session always says "Voice Stop", after the logout.
    ASSERT_TRUE(WaitUntil([&] { return server.PeerClosed(); }));
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\nlogout\r\n\r\nVoice Stop\r\n\r\n");
    Pump(150);
    EXPECT_TRUE(r.messages.empty());
}

TEST(Speaking, StartAndStopAreSentWithTheirCaptions) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    // Before the login reply, too.
    speak->click();
    EXPECT_EQ(speak->text(), QString::fromUtf8("発言中"));
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\nVoice Start\r\n\r\n"));
    speak->click();
    EXPECT_EQ(speak->text(), QStringLiteral("発 言"));
    ASSERT_TRUE(server.WaitForReceived("Voice Start\r\n\r\nVoice Stop\r\n\r\n"));
    EXPECT_FALSE(r.dialog.IsSpeaking());
}

TEST(Speaking, LogoutWhileSpeakingStopsFirst) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("login succeeded\r\nID:00001\r\nVoicePass:00037\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.OwnId() == 1; }));
    Button(r.dialog, IDC_SPEAK)->click();
    Button(r.dialog, IDC_LOGOUT)->click();
    ASSERT_TRUE(server.WaitForReceived("logout\r\n\r\n"));
    EXPECT_EQ(server.Received(),
              "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\nVoice Start\r\n\r\nVoice Stop\r\n\r\nlogout\r\n\r\n");
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QStringLiteral("発 言"));
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return server.PeerClosed(); }));
    EXPECT_EQ(server.Received(),
              "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\nVoice Start\r\n\r\nVoice Stop\r\n\r\nlogout\r\n\r\n"
              "Voice Stop\r\n\r\n");
}

TEST(Voice, WholeFramesArePlayedShortOnesDropped) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    std::string wire;
    protocol::AppendVoiceData(wire, std::string(128, '0'));
    protocol::AppendVoiceData(wire, std::string(128, 'V'));
    wire += "Voice Data:" + std::string(100, 'W') + "\r\n\r\n";
    wire += "Voice Data:\r\n\r\n";
    protocol::AppendTextMessage(wire, "after", 1, "Taro");
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] { return Log(r.dialog)->toPlainText().contains(QStringLiteral("after")); }));
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 2);
    // The last whole frame was decoded in place; the short ones after it
    // neither played nor wrote into it.
    EXPECT_EQ(r.dialog.Incoming().voiceFrame[0], protocol::DecodeCharacter('V'));
    EXPECT_EQ(r.dialog.Incoming().voiceFrame[127], protocol::DecodeCharacter('V'));
}

TEST(LineBuffer, BytesOfAnUnfinishedLineDoNotReachTheNextSession) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    // The connection ends in the middle of a line.
    server.Send("Mess");
    Pump(50);
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    LogIn(r, server);
    Log(r.dialog)->clear();  // the lines about reconnecting
    std::string wire;
    protocol::AppendMemberLogin(wire, 1, "Taro");
    server.Send(wire);
    // With "Mess" in front, the first line would read "MessMember login".
    ASSERT_TRUE(WaitUntil([&] { return Log(r.dialog)->toPlainText().contains(QString::fromUtf8("参加")); }, 5000));
    EXPECT_EQ(Log(r.dialog)->toPlainText(), QString::fromUtf8("Taroさんが参加されました\n"));
}

TEST(ReceiveThread, ALoginAfterAFloodSeesOnlyItsOwnLines) {
    FakeServer server;
    RecordingDialog r;
    // What follows "disconnected" fills the buffer, and the receive thread
    // waits for room while the session closes and the box is open.
    r.whileBoxOpen = [&](const std::string&) { Pump(300); };
    LogIn(r, server);
    std::string wire = "disconnected\r\n\r\n";
    for (int i = 0; i < 300; ++i) wire += "Message:old " + std::to_string(i) + "\r\nName:X\r\n\r\n";
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    ASSERT_FALSE(r.dialog.IsLoggedIn());
    r.whileBoxOpen = nullptr;

    // The old thread is gone before the buffer is renewed: nothing of the old
    // session shows in the new one.
    LogIn(r, server);
    Log(r.dialog)->clear();
    server.Send("Message:new\r\nName:Y\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return Log(r.dialog)->toPlainText().contains(QStringLiteral("new")); }));
    Pump(100);
    EXPECT_EQ(Log(r.dialog)->toPlainText(), QStringLiteral("Y> new\n"));
}

TEST(ReceiveThread, DestroyingTheDialogWhileTheBufferIsFullReturns) {
    FakeServer server;
    auto r = std::make_unique<RecordingDialog>();
    LogIn(*r, server);
    std::string wire;
    for (int i = 0; i < 500; ++i) wire += "Message:m\r\nName:X\r\n\r\n";
    // No events run: the ticks stand still and the receive thread blocks on
    // the full buffer.
    server.Send(wire);
    platform::SleepMs(200);
    r.reset();  // must neither hang nor touch the released buffer
    EXPECT_TRUE(WaitUntil([&] { return server.PeerClosed(); }, 5000));
    // Closing without logout sends nothing more.
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
}

TEST(LineBuffer, AMessageHalfAssembledWhenTheConnectionBrokeIsDropped) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("Message:half\r\nName:X\r\n");
    Pump(100);
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
    LogIn(r, server);
    Log(r.dialog)->clear();  // the lines about reconnecting
    server.Send("Message:new\r\nName:Y\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !Log(r.dialog)->toPlainText().isEmpty(); }));
    EXPECT_EQ(Log(r.dialog)->toPlainText(), QStringLiteral("Y> new\n"));
}

// ---- Connecting while the window runs ----

namespace {

// Counts the dialog's paint events and keeps asking it to repaint.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) : widget_(widget) {
        widget->installEventFilter(this);
        timer_.callOnTimeout([this] { widget_->update(); });
        timer_.start(20);
    }
    int Paints() const { return paints_; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints_;
        return false;
    }

private:
    QWidget* widget_;
    QTimer timer_;
    int paints_ = 0;
};

void StartLogin(RecordingDialog& r, std::uint16_t port, const char* host = "127.0.0.1") {
    Edit(r.dialog, IDC_HOST)->setText(QString::fromLatin1(host));
    Edit(r.dialog, IDC_PORT)->setText(QString::number(port));
    Button(r.dialog, IDC_LOGIN)->click();
}

std::array<bool, 4> FieldsOf(const CChatClientDlg& d) {
    return {Edit(d, IDC_HOST)->isEnabled(), Edit(d, IDC_NAME)->isEnabled(), Edit(d, IDC_PORT)->isEnabled(),
            Edit(d, IDC_POST_TEXT)->isEnabled()};
}

}  // namespace

TEST(Connecting, AHostThatNeverAnswersLeavesTheWindowRunningAndFailsAtTheLimit) {
    clienttest::SilentHost host;
    RecordingDialog r;
    r.dialog.show();
    constexpr int kLimitMs = 1500;
    r.dialog.Connection().SetConnectTimeLimit(kLimitMs);
    QElapsedTimer clock;
    clock.start();
    StartLogin(r, host.Port());

    // Login has returned; the attempt goes on with the fields and Login
    // disabled and Logout ready to give up.
    ASSERT_TRUE(r.dialog.IsConnecting());
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(FieldsOf(r.dialog), (std::array<bool, 4>{false, false, false, true}));
    PaintCounter painter(&r.dialog);
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }, 30000));

    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストに接続できませんでした"});
    EXPECT_GE(clock.elapsed(), kLimitMs);
    // The window kept painting while it waited.
    EXPECT_GE(painter.Paints(), 2);
    EXPECT_FALSE(r.dialog.IsConnecting());
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(FieldsOf(r.dialog), (std::array<bool, 4>{true, true, true, true}));
}

TEST(Connecting, LogoutEndsTheAttemptAtOnceAndALoginByNameWorksAfterwards) {
    clienttest::SilentHost host;
    FakeServer server;
    RecordingDialog r;
    StartLogin(r, host.Port());
    ASSERT_TRUE(r.dialog.IsConnecting());
    Button(r.dialog, IDC_LOGOUT)->click();
    EXPECT_FALSE(r.dialog.IsConnecting());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(FieldsOf(r.dialog), (std::array<bool, 4>{true, true, true, true}));
    Pump(100);
    EXPECT_TRUE(r.messages.empty());

    // A name is looked up without the window waiting; the session that
    // follows is the usual one, byte for byte.
    StartLogin(r, server.Port(), "localhost");
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsLoggedIn(); })) << (r.messages.empty() ? "" : r.messages.back());
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived("Who are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n"));
    EXPECT_EQ(server.Received(), "login:(No name)\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
    EXPECT_TRUE(r.messages.empty());
}

TEST(Connecting, ClosingTheDialogEndsTheAttemptAtOnce) {
    clienttest::SilentHost host;
    RecordingDialog r;
    r.dialog.show();
    StartLogin(r, host.Port());
    ASSERT_TRUE(r.dialog.IsConnecting());
    r.dialog.close();
    EXPECT_FALSE(r.dialog.IsConnecting());
    EXPECT_FALSE(r.dialog.isVisible());
    Pump(100);
    EXPECT_TRUE(r.messages.empty());

    // Esc ends the dialog the other way, and the attempt with it.
    RecordingDialog esc;
    esc.dialog.show();
    StartLogin(esc, host.Port());
    ASSERT_TRUE(esc.dialog.IsConnecting());
    esc.dialog.reject();
    EXPECT_FALSE(esc.dialog.IsConnecting());
}

TEST(Connecting, ANameThatDoesNotResolveIsToldInTwoLines) {
    RecordingDialog r;
    // Whether the resolver says no or says nothing in time, the user hears
    // the same.
    r.dialog.Connection().SetConnectTimeLimit(3000);
    StartLogin(r, 1024, "no-such-host.invalid");
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }, 30000));
    EXPECT_EQ(r.messages, std::vector<std::string>{"インターネット接続が切れているか、\r\nホストが見つかりませんでした"});
    EXPECT_FALSE(r.dialog.IsConnecting());
    EXPECT_TRUE(Button(r.dialog, IDC_LOGIN)->isEnabled());
}

TEST(Connecting, ALookUpThatNeverAnswersEndsAtTheTimeLimitWithTheWindowRunning) {
    // The resolver holds this name for as long as it is asked; only the
    // connection's own limit can end the attempt.
    const std::string held = "never-answered.test";
    platform::HostLookup::NeverAnswerForTests(held);
    struct Release {
        ~Release() { platform::HostLookup::NeverAnswerForTests(""); }
    } release;

    RecordingDialog r;
    r.dialog.show();
    QElapsedTimer clock;
    clock.start();
    StartLogin(r, 1024, held.c_str());
    ASSERT_TRUE(r.dialog.IsConnecting());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{false, true, false, false}));
    PaintCounter painter(&r.dialog);
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }, CServerConnection::kConnectTimeLimitMs + 30000));

    EXPECT_GE(clock.elapsed(), CServerConnection::kConnectTimeLimitMs);
    EXPECT_EQ(r.messages, std::vector<std::string>{"インターネット接続が切れているか、\r\nホストが見つかりませんでした"});
    EXPECT_GE(painter.Paints(), 2);
    EXPECT_FALSE(r.dialog.IsConnecting());
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(FieldsOf(r.dialog), (std::array<bool, 4>{true, true, true, true}));
}

// ---- Push-to-talk on the speak button ----

TEST(Speaking, AClickTogglesAndAHoldSpeaksOnlyWhileHeld) {
    FakeServer server;
    RecordingDialog r;
    r.dialog.show();
    LogIn(r, server);
    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    const QString active = QString::fromUtf8("発言中");
    const QString stopped = QStringLiteral("発 言");
    std::string expected = server.Received();
    auto expectSent = [&](const char* more) {
        expected += more;
        EXPECT_TRUE(server.WaitForReceived(expected)) << expected;
        EXPECT_EQ(server.Received(), expected);
    };

    // A click toggles on, the next one off (no event loop runs between
    // press and release, so the hold time cannot pass).
    QTest::mouseClick(speak, Qt::LeftButton);
    EXPECT_TRUE(r.dialog.IsSpeaking());
    EXPECT_EQ(speak->text(), active);
    expectSent("Voice Start\r\n\r\n");
    QTest::mouseClick(speak, Qt::LeftButton);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(speak->text(), stopped);
    expectSent("Voice Stop\r\n\r\n");

    // Held: speaking from the press, for as long as it is held.
    QTest::mousePress(speak, Qt::LeftButton);
    EXPECT_TRUE(r.dialog.IsSpeaking());
    expectSent("Voice Start\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsSpeakHeld(); }));
    EXPECT_EQ(speak->text(), active);
    QTest::mouseRelease(speak, Qt::LeftButton);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(speak->text(), stopped);
    expectSent("Voice Stop\r\n\r\n");

    // Held while already speaking: still speaking only while held.
    QTest::mouseClick(speak, Qt::LeftButton);
    QTest::mousePress(speak, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsSpeakHeld(); }));
    EXPECT_TRUE(r.dialog.IsSpeaking());
    QTest::mouseRelease(speak, Qt::LeftButton);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    expectSent("Voice Start\r\n\r\nVoice Stop\r\n\r\n");

    // A press that ends off the button is no click: it leaves the floor as
    // it found it.
    QTest::mousePress(speak, Qt::LeftButton);
    QTest::mouseRelease(speak, Qt::LeftButton, {}, QPoint(-10, -10));
    EXPECT_FALSE(r.dialog.IsSpeaking());
    expectSent("Voice Start\r\n\r\nVoice Stop\r\n\r\n");
    QTest::mouseClick(speak, Qt::LeftButton);
    QTest::mousePress(speak, Qt::LeftButton);
    QTest::mouseRelease(speak, Qt::LeftButton, {}, QPoint(-10, -10));
    EXPECT_TRUE(r.dialog.IsSpeaking());
    QTest::mouseClick(speak, Qt::LeftButton);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    expectSent("Voice Start\r\n\r\nVoice Stop\r\n\r\n");

    // Space with the focus on the button: the same two ways.
    speak->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(speak, Qt::Key_Space);
    EXPECT_TRUE(r.dialog.IsSpeaking());
    QTest::keyClick(speak, Qt::Key_Space);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    expectSent("Voice Start\r\n\r\nVoice Stop\r\n\r\n");
    QTest::keyPress(speak, Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsSpeakHeld(); }));
    EXPECT_TRUE(r.dialog.IsSpeaking());
    QTest::keyRelease(speak, Qt::Key_Space);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    expectSent("Voice Start\r\n\r\nVoice Stop\r\n\r\n");

    // A hold on Space ends when the button loses the focus, since its
    // release will never come.
    QTest::keyPress(speak, Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsSpeakHeld(); }));
    Edit(r.dialog, IDC_POST_TEXT)->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsSpeaking(); }));
    expectSent("Voice Start\r\n\r\nVoice Stop\r\n\r\n");
    EXPECT_TRUE(r.messages.empty());
}

// The hold time against presses the way people make them, with the event
// loop running: a click of up to about 150 ms keeps the floor toggled, a
// press of 350 ms is a hold.
TEST(Speaking, APressOfAbout150MsIsAClickAndOneOf350MsAHold) {
    FakeServer server;
    RecordingDialog r;
    r.dialog.show();
    LogIn(r, server);
    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    // Presses for about ms with the event loop running; returns how long
    // the button really stayed down.
    auto press = [&](int ms) {
        QTest::mousePress(speak, Qt::LeftButton);
        QElapsedTimer down;
        down.start();
        QTest::qWait(ms);
        const qint64 held = down.elapsed();
        QTest::mouseRelease(speak, Qt::LeftButton);
        return held;
    };

    ASSERT_FALSE(r.dialog.IsSpeaking());
    EXPECT_GE(press(350), 350);
    EXPECT_FALSE(r.dialog.IsSpeaking()) << "a hold of 350 ms kept the floor";
    ASSERT_TRUE(server.WaitForReceived("Voice Start\r\n\r\nVoice Stop\r\n\r\n"));

    // A try on which the loop was starved far past the intended time says
    // nothing about the threshold, so it is made again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        ASSERT_FALSE(r.dialog.IsSpeaking());
        const qint64 held = press(150);
        if (held >= 250) {
            if (r.dialog.IsSpeaking()) QTest::mouseClick(speak, Qt::LeftButton);
            continue;
        }
        EXPECT_TRUE(r.dialog.IsSpeaking()) << "a click of " << held << " ms gave the floor back";
        EXPECT_EQ(speak->text(), QString::fromUtf8("発言中"));
        return;
    }
    GTEST_SKIP() << "the event loop never let a 150 ms press end in under 250 ms";
}

TEST(Speaking, TheSessionsEndDuringAHoldLeavesNothingHeld) {
    FakeServer server;
    RecordingDialog r;
    r.dialog.show();
    LogIn(r, server);
    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    QTest::mousePress(speak, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsSpeakHeld(); }));
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    EXPECT_FALSE(r.dialog.IsSpeakHeld());
    QTest::mouseRelease(speak, Qt::LeftButton);
    EXPECT_FALSE(r.dialog.IsSpeaking());
    // The next session starts with the button up.
    LogIn(r, server);
    QTest::mouseClick(speak, Qt::LeftButton);
    EXPECT_TRUE(r.dialog.IsSpeaking());
    ASSERT_TRUE(server.WaitForReceived("Who are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\nVoice Start\r\n\r\n"));
}

// ---- Who is talking ----

TEST(Session, SpeakersAreMarkedWithIcon131AndTheListKeepsItsOrder) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    std::string wire = ListOf({{3, "Jiro"}, {2, "Taro"}, {5, "Goro"}});
    protocol::AppendSpeakingMemberSize(wire, 2);
    protocol::AppendListEntry(wire, 5, "Goro");
    protocol::AppendListEntry(wire, 3, "Jiro");
    protocol::AppendListEnd(wire);
    server.Send(wire);
    const QStringList marked = {"Jiro:131", "Taro:130", "Goro:131"};
    ASSERT_TRUE(WaitUntil([&] { return clienttest::MemberViewWithIcons(r.dialog) == marked; }))
        << clienttest::MemberViewWithIcons(r.dialog).join(QLatin1Char(' ')).toStdString();

    // A member joining keeps the marks; a speaker leaving takes its mark.
    wire.clear();
    protocol::AppendMemberLogin(wire, 4, "Shiro");
    protocol::AppendMemberLogout(wire, 3, "Jiro");
    server.Send(wire + "Message:mark\r\nID:00002\r\nName:Taro\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return Log(r.dialog)->toPlainText().contains(QStringLiteral("Taro> mark")); }));
    EXPECT_EQ(clienttest::MemberViewWithIcons(r.dialog), (QStringList{"Taro:130", "Shiro:130", "Goro:131"}));

    // Nobody speaks any more.
    wire.clear();
    protocol::AppendSpeakingMemberSize(wire, 0);
    protocol::AppendListEnd(wire);
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] {
        return clienttest::MemberViewWithIcons(r.dialog) == QStringList{"Taro:130", "Shiro:130", "Goro:130"};
    }));
    EXPECT_TRUE(r.messages.empty());
}
