// Sessions against a fake server on loopback that records every byte the
// client sends: the exact requests, the session's end in each of its four
// ways, the tick gate, the receive thread's end, and the speak button.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include <array>
#include <memory>

#include "client/chat_client_dlg.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"
#include "protocol/messages.h"
#include "protocol/voice_codec.h"

using namespace tessik;
using clienttest::FakeServer;
using clienttest::Pump;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;

namespace {

QPushButton* Button(const CChatClientDlg& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }
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
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\n"));
}

std::string ListOf(std::initializer_list<std::pair<int, std::string>> members) {
    std::string out;
    protocol::AppendMemberSize(out, static_cast<int>(members.size()));
    for (const auto& [id, name] : members) protocol::AppendListEntry(out, id, name);
    protocol::AppendListEnd(out);
    return out;
}

}  // namespace

TEST(Login, SendsLoginThenListRequestAsExactBytes) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server, "Taro");
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\n");
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
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\n");
}

TEST(Login, NamesTravelAsUtf8BytesAndAnEmptyNameAsNothing) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server, "太郎");
    EXPECT_EQ(server.Received(), "login:\xE5\xA4\xAA\xE9\x83\x8E\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\n");
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));

    LogIn(r, server, "");
    EXPECT_EQ(server.Received(), "login:\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\n");
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
    EXPECT_EQ(ButtonsOf(r.dialog), (std::array<bool, 4>{true, false, false, false}));
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
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nlogout\r\n\r\nVoice Stop\r\n\r\n");
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
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Start\r\n\r\n"));
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
              "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Start\r\n\r\nVoice Stop\r\n\r\nlogout\r\n\r\n");
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QStringLiteral("発 言"));
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return server.PeerClosed(); }));
    EXPECT_EQ(server.Received(),
              "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Start\r\n\r\nVoice Stop\r\n\r\nlogout\r\n\r\n"
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
    // While the "disconnected" box is open the ticks stand still and the
    // receive thread fills the buffer and waits for room.
    r.whileBoxOpen = [&](const std::string&) { Pump(300); };
    LogIn(r, server);
    std::string wire = "disconnected\r\n\r\n";
    for (int i = 0; i < 300; ++i) wire += "Message:old " + std::to_string(i) + "\r\nName:X\r\n\r\n";
    server.Send(wire);
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    ASSERT_FALSE(r.dialog.IsLoggedIn());
    r.whileBoxOpen = nullptr;
    Log(r.dialog)->clear();

    // The old thread is gone before the buffer is renewed: nothing of the old
    // session shows in the new one.
    LogIn(r, server);
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
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\n");
}

TEST(LineBuffer, AMessageHalfAssembledWhenTheConnectionBrokeIsDropped) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("Message:half\r\nName:X\r\n");
    Pump(100);
    server.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
    LogIn(r, server);
    server.Send("Message:new\r\nName:Y\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !Log(r.dialog)->toPlainText().isEmpty(); }));
    EXPECT_EQ(Log(r.dialog)->toPlainText(), QStringLiteral("Y> new\n"));
}
