// Dialogs against the real server program on a free loopback port: chat
// between two dialogs, the member list in the server's order, joins and
// departures, the ways a session ends, the speak button as the server's
// voice mixer sees it, and the dialog coming back by itself to a server
// started again on the same port.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/chat_client_dlg.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"
#include "server_process.h"
#include "common/net_socket.h"
#include "platform/tools/process.h"
#include "protocol/messages.h"
#include "support/loopback.h"

using namespace tessik;
using clienttest::Pump;
using clienttest::RecordingDialog;
using clienttest::UnusedPort;
using clienttest::WaitUntil;

namespace {

QPushButton* Button(const CChatClientDlg& d, int id) { return qobject_cast<QPushButton*>(d.Control(id)); }
QPlainTextEdit* Log(const CChatClientDlg& d) { return qobject_cast<QPlainTextEdit*>(d.Control(IDC_LOG)); }
QListWidget* View(const CChatClientDlg& d) { return qobject_cast<QListWidget*>(d.Control(IDC_MEMBERS)); }

QStringList ViewNames(const CChatClientDlg& d) {
    QStringList names;
    for (int i = 0; i < View(d)->count(); ++i) names << View(d)->item(i)->text();
    return names;
}

bool LogHas(const CChatClientDlg& d, const char* utf8) {
    return Log(d)->toPlainText().contains(QString::fromUtf8(utf8));
}

// The server program on a port of its own.
class Server : public clienttest::ServerProcess {
public:
    Server() : ServerProcess(ORVANE_BINARY) {}
};

// A member that speaks the protocol by hand and records every line it gets.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        socket_.Create(platform::kAfInet, platform::kSockStream, 0);
        connected_ = socket_.Connect(testsupport::LoopbackAddress(port)) == 0;
        if (connected_) reader_ = std::thread([this] { Read(); });
    }
    ~RawClient() {
        socket_.Close();
        if (reader_.joinable()) reader_.join();
    }
    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) { socket_.Send(bytes.data(), static_cast<int>(bytes.size())); }
    int CountLinesStartingWith(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const std::string& line : lines_) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    void Read() {
        std::vector<char> buffer(10000);
        for (;;) {
            int n = socket_.ReceiveLine(buffer.data(), 9999);
            if (n < 0) break;
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(buffer.data());
        }
    }

    CNetSocket socket_;
    bool connected_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

void LogIn(RecordingDialog& r, std::uint16_t port, const std::string& name) {
    r.LoginTo(port, name);
    ASSERT_TRUE(r.dialog.IsLoggedIn()) << (r.messages.empty() ? "" : r.messages.back());
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.OwnId() != 0; }));
}

void Post(RecordingDialog& r, const QString& text) {
    qobject_cast<QLineEdit*>(r.dialog.Control(IDC_POST_TEXT))->setText(text);
    Button(r.dialog, IDC_POST)->click();
}

}  // namespace

TEST(EndToEnd, TwoDialogsChatSeeEachOtherAndLeave) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog taro, hanako;
    LogIn(taro, server.Port(), "Taro");
    ASSERT_TRUE(WaitUntil([&] { return ViewNames(taro.dialog) == QStringList{"Taro"}; }));
    EXPECT_EQ(taro.dialog.OwnId(), 1);
    // Its own join line: the list is still empty when it arrives.
    EXPECT_EQ(Log(taro.dialog)->toPlainText(), QString::fromUtf8("Taroさんが参加されました\n"));

    LogIn(hanako, server.Port(), "Hanako");
    ASSERT_TRUE(WaitUntil([&] { return ViewNames(hanako.dialog) == QStringList{"Taro", "Hanako"}; }));
    ASSERT_TRUE(WaitUntil([&] { return ViewNames(taro.dialog) == QStringList{"Taro", "Hanako"}; }));
    EXPECT_TRUE(LogHas(taro.dialog, "Hanakoさんが参加されました"));

    // Posts of two connections have no order between them: one at a time.
    Post(taro, QStringLiteral("hello"));
    for (RecordingDialog* r : {&taro, &hanako}) {
        ASSERT_TRUE(WaitUntil([&] { return LogHas(r->dialog, "Taro> hello"); }));
    }
    Post(hanako, QString::fromUtf8("こんにちは"));
    for (RecordingDialog* r : {&taro, &hanako}) {
        ASSERT_TRUE(WaitUntil([&] { return LogHas(r->dialog, "Hanako> こんにちは"); }));
    }
    EXPECT_EQ(Log(taro.dialog)->toPlainText(),
              QString::fromUtf8("Taroさんが参加されました\nHanakoさんが参加されました\n"
                                "Taro> hello\nHanako> こんにちは\n"));

    Button(hanako.dialog, IDC_LOGOUT)->click();
    ASSERT_TRUE(WaitUntil([&] { return !hanako.dialog.IsLoggedIn(); }));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro.dialog, "Hanakoさんが退席されました"); }));
    EXPECT_EQ(ViewNames(taro.dialog), QStringList{"Taro"});
    EXPECT_EQ(View(hanako.dialog)->count(), 0);
    EXPECT_TRUE(hanako.messages.empty());  // logout shows no message box
    EXPECT_TRUE(taro.messages.empty());
    EXPECT_TRUE(Button(hanako.dialog, IDC_LOGIN)->isEnabled());
}

TEST(EndToEnd, ADialogThatStallsHearsTheNewestVoiceNotAllTheOldAndMissesNoText) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog listener;
    LogIn(listener, server.Port(), "Listener");
    RawClient speaker(server.Port());
    ASSERT_TRUE(speaker.Connected());
    speaker.Send("login:Speaker\r\n\r\nVoice Start\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return LogHas(listener.dialog, "Speakerさんが参加されました"); }));
    const int before = listener.dialog.ReceivedVoiceFrames();

    // The dialog's thread does nothing while 2000 frames (about 32 s of
    // voice, 286 KB) are mixed for it: its receive thread fills its buffer
    // and stops reading, as a window that hangs or a laptop that sleeps.
    std::string frames;
    const std::string frame = "Voice Data:" + std::string(128, 'P') + "\r\n\r\n";
    for (int i = 0; i < 2000; ++i) frames += frame;
    speaker.Send(frames);
    speaker.Send("Message:after the voice\r\n\r\n");
    // Waited for without running the dialog's events: once the speaker has
    // its own text back, every frame before it has been mixed for everyone.
    for (int waited = 0; speaker.CountLinesStartingWith("Message:after the voice") == 0; waited += 10) {
        ASSERT_LT(waited, 30000) << "the server never relayed the text";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Once it reads again, the text arrives whole, after what voice is left.
    ASSERT_TRUE(WaitUntil([&] { return LogHas(listener.dialog, "Speaker> after the voice"); }, 30000));
    const int heard = listener.dialog.ReceivedVoiceFrames() - before;
    std::printf("a stalled dialog received %d of 2000 frames\n", heard);
    EXPECT_GT(heard, 64);
    // The server holds at most about 190 frames for a client that does not
    // read and the system this client's fixed receive buffer; unbounded,
    // the system would hand over all 2000.
    EXPECT_LT(heard, 500);
}

TEST(EndToEnd, MemberListComesInTheServersOrderAndJoinsGoById) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog first, third, last;
    LogIn(first, server.Port(), "First");                 // slot 0, ID 1
    RawClient late(server.Port());                        // slot 1, no ID yet
    ASSERT_TRUE(late.Connected());
    Pump(100);
    LogIn(third, server.Port(), "Third");                 // slot 2, ID 2
    late.Send("login:Late\r\n\r\n");                      // slot 1, ID 3
    ASSERT_TRUE(WaitUntil([&] { return LogHas(first.dialog, "Lateさんが参加されました"); }));
    LogIn(last, server.Port(), "Last");                   // slot 3, ID 4

    // The newcomer gets the server's list, in the order of its slots.
    ASSERT_TRUE(WaitUntil([&] { return View(last.dialog)->count() == 4; }));
    EXPECT_EQ(ViewNames(last.dialog), (QStringList{"First", "Late", "Third", "Last"}));
    // Those who were there insert each newcomer by ID.
    ASSERT_TRUE(WaitUntil([&] { return View(first.dialog)->count() == 4; }));
    EXPECT_EQ(ViewNames(first.dialog), (QStringList{"First", "Third", "Late", "Last"}));
}

TEST(EndToEnd, ClosedPortIsToldThenTheRightPortWorks) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog r;
    r.LoginTo(UnusedPort(), "Taro");
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストに接続できませんでした"});
    LogIn(r, server.Port(), "Taro");
    ASSERT_TRUE(WaitUntil([&] { return ViewNames(r.dialog) == QStringList{"Taro"}; }));
    EXPECT_EQ(r.messages.size(), 1u);
}

TEST(EndToEnd, ServerShutdownIsToldAsDisconnectedOnce) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog a, b;
    LogIn(a, server.Port(), "A");
    LogIn(b, server.Port(), "B");
    ASSERT_TRUE(WaitUntil([&] { return View(a.dialog)->count() == 2 && View(b.dialog)->count() == 2; }));
    ASSERT_TRUE(server.Process().WriteInput("\n"));  // Enter stops the server
    for (RecordingDialog* r : {&a, &b}) {
        ASSERT_TRUE(WaitUntil([&] { return !r->dialog.IsLoggedIn(); }));
    }
    Pump(300);
    for (RecordingDialog* r : {&a, &b}) {
        EXPECT_EQ(r->messages, std::vector<std::string>{"接続が切断されました"});
        EXPECT_EQ(View(r->dialog)->count(), 0);
        // Trying to come back; logout stops that.
        EXPECT_TRUE(r->dialog.IsReconnecting());
        EXPECT_TRUE(Button(r->dialog, IDC_LOGOUT)->isEnabled());
    }
    int code = -1;
    EXPECT_TRUE(server.Process().Wait(10000, &code));
    EXPECT_EQ(code, 0);
}

TEST(EndToEnd, KilledServerIsToldAsLostConnection) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog r;
    LogIn(r, server.Port(), "Taro");
    ASSERT_TRUE(WaitUntil([&] { return View(r.dialog)->count() == 1; }));
    server.Process().Kill();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    ASSERT_TRUE(WaitUntil([&] { return !r.messages.empty(); }));
    Pump(200);
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
    EXPECT_EQ(View(r.dialog)->count(), 0);
    EXPECT_EQ(r.dialog.OwnId(), 0);
}

TEST(EndToEnd, LogIsKeptAcrossSessionsAndTheListEmptiedAfterEach) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog r;
    for (int session = 1; session <= 2; ++session) {
        LogIn(r, server.Port(), "Taro");
        ASSERT_TRUE(WaitUntil([&] { return View(r.dialog)->count() == 1; }));
        Post(r, QStringLiteral("round %1").arg(session));
        ASSERT_TRUE(WaitUntil([&] { return Log(r.dialog)->toPlainText().contains(QStringLiteral("round %1").arg(session)); }));
        Button(r.dialog, IDC_LOGOUT)->click();
        ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
        EXPECT_EQ(View(r.dialog)->count(), 0);
        EXPECT_EQ(r.dialog.Members().Count(), 0);
    }
    // The second login is also shown what was said before it: round 1 again,
    // as history above the separator.
    EXPECT_EQ(Log(r.dialog)->toPlainText(),
              QString::fromUtf8("Taroさんが参加されました\nTaro> round 1\nTaroさんが参加されました\nTaro> round 1\n"
                                "―――――― ここまでが参加前の発言です ――――――\nTaro> round 2\n"));
    EXPECT_TRUE(r.messages.empty());
}

// A dialog whose capture could not open speaks without frames: while it
// holds the floor the mix waits for it, and what the other member said
// comes out once it stops. Playback goes on regardless.
TEST(EndToEnd, EveryDialogMarksWhoIsSpeaking) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog taro, hanako;
    LogIn(taro, server.Port(), "Taro");
    LogIn(hanako, server.Port(), "Hanako");
    auto shows = [&](const QStringList& expected) {
        for (RecordingDialog* r : {&taro, &hanako}) {
            if (!WaitUntil([&] { return clienttest::MemberViewWithIcons(r->dialog) == expected; })) {
                ADD_FAILURE() << clienttest::MemberViewWithIcons(r->dialog).join(QLatin1Char(' ')).toStdString();
                return;
            }
        }
    };
    shows({"Taro:130", "Hanako:130"});

    // A client of the old kind speaks too: it never asked, and only the
    // dialogs mark it.
    RawClient plain(server.Port());
    ASSERT_TRUE(plain.Connected());
    plain.Send("login:Plain\r\n\r\nVoice Start\r\n\r\n");
    shows({"Taro:130", "Hanako:130", "Plain:131"});

    Button(hanako.dialog, IDC_SPEAK)->click();
    shows({"Taro:130", "Hanako:131", "Plain:131"});
    Button(hanako.dialog, IDC_SPEAK)->click();
    shows({"Taro:130", "Hanako:130", "Plain:131"});
    Button(taro.dialog, IDC_SPEAK)->click();
    shows({"Taro:131", "Hanako:130", "Plain:131"});
    // A speaker who leaves is unmarked with the departure.
    plain.Send("logout\r\n\r\n");
    shows({"Taro:131", "Hanako:130"});
    // The old client saw every change go by, and none of the lists.
    ASSERT_TRUE(WaitUntil([&] { return plain.CountLinesStartingWith("logout succeeded") == 1; }));
    EXPECT_EQ(plain.CountLinesStartingWith("Member login"), 1);
    EXPECT_EQ(plain.CountLinesStartingWith("Speaking Member Size:"), 0);
    EXPECT_TRUE(taro.messages.empty());
    EXPECT_TRUE(hanako.messages.empty());
}

TEST(EndToEnd, SpeakButtonTakesTheDialogIntoAndOutOfTheMix) {
    Server server;
    ASSERT_TRUE(server.Started());
    QTemporaryDir dir;
    const std::string out = dir.filePath(QStringLiteral("out.raw")).toStdString();
    clienttest::SharedMessages shared;
    RecordingDialog r;
    {
        clienttest::DiskSound sound(dir.filePath(QStringLiteral("missing.raw")).toStdString(), out, 2);
        // The classic voice, which the server also offers.
        r.dialog.SetAsksForWideband(false);
        LogIn(r, server.Port(), "Taro");
    }
    EXPECT_EQ(shared.Texts(), std::vector<std::string>{"Open error"});
    ASSERT_FALSE(r.dialog.SoundDevice().IsCaptureOpen());
    ASSERT_TRUE(r.dialog.SoundDevice().IsPlaybackOpen());
    RawClient speaker(server.Port());
    ASSERT_TRUE(speaker.Connected());
    speaker.Send("login:Speaker\r\n\r\nVoice Start\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "Speakerさんが参加されました"); }));

    const std::string frame = "Voice Data:" + std::string(128, 'V') + "\r\n\r\n";
    // The speaker alone: each of its frames is mixed and reaches the dialog.
    speaker.Send(frame);
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.ReceivedVoiceFrames() == 1; }));

    // The dialog speaks: the mix now waits for a frame from it as well.
    QPushButton* speak = Button(r.dialog, IDC_SPEAK);
    speak->click();
    EXPECT_EQ(speak->text(), QString::fromUtf8("発言中"));
    Post(r, QStringLiteral("mark"));  // handled after its "Voice Start"
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "Taro> mark"); }));
    speaker.Send(frame + frame + frame + "Message:sent three\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "Speaker> sent three"); }));
    Pump(100);
    EXPECT_EQ(r.dialog.ReceivedVoiceFrames(), 1);
    EXPECT_EQ(speaker.CountLinesStartingWith("Voice Data:"), 1);
    EXPECT_EQ(r.dialog.SentVoiceFrames(), 0);

    // It stops: the three queued frames are mixed at once.
    speak->click();
    EXPECT_EQ(speak->text(), QStringLiteral("発 言"));
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.ReceivedVoiceFrames() == 4; }));
    EXPECT_TRUE(WaitUntil([&] { return speaker.CountLinesStartingWith("Voice Data:") == 4; }));
    // The play-out buffer hands them on once the wait for late frames is over.
    EXPECT_TRUE(WaitUntil([&] { return r.dialog.PlayedVoiceFrames() == 4; }));

    // Played as they came: 'V' carries the sample 228.
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.SoundDevice().IsPlaybackSlotFree(4); }));
    Pump(20);
    Button(r.dialog, IDC_LOGOUT)->click();
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    std::ifstream file(out, std::ios::binary);
    std::string played((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    played.erase(std::remove(played.begin(), played.end(), '\x80'), played.end());
    EXPECT_EQ(played, std::string(4 * 128, static_cast<char>(228)));
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(shared.Texts().size(), 1u);
}

// ---- Coming back to a server started again ----

namespace {

bool IsBack(const CChatClientDlg& d) { return d.OwnId() != 0 && !d.IsReconnecting(); }

int LogLines(const CChatClientDlg& d, const char* utf8) {
    return static_cast<int>(Log(d)->toPlainText().count(QString::fromUtf8(utf8)));
}

}  // namespace

TEST(EndToEnd, AServerStartedAgainOnTheSamePortTakesTheDialogBack) {
    std::unique_ptr<clienttest::ServerProcess> server = std::make_unique<Server>();
    ASSERT_TRUE(server->Started());
    const std::uint16_t port = server->Port();
    RecordingDialog r;
    LogIn(r, port, "Taro");
    Button(r.dialog, IDC_SPEAK)->click();
    ASSERT_TRUE(WaitUntil([&] { return clienttest::MemberViewWithIcons(r.dialog) == QStringList{"Taro:131"}; }));

    // Stopped with Enter: "disconnected".
    ASSERT_TRUE(server->Process().WriteInput("\n"));
    int code = -1;
    ASSERT_TRUE(server->Process().Wait(10000, &code));
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsReconnecting(); }));
    server = std::make_unique<clienttest::ServerProcess>(ORVANE_BINARY, port);
    ASSERT_TRUE(server->Started());
    ASSERT_TRUE(WaitUntil([&] { return IsBack(r.dialog); }, 40000)) << Log(r.dialog)->toPlainText().toStdString();
    // A fresh login: the list again, and the floor not taken.
    ASSERT_TRUE(WaitUntil([&] { return clienttest::MemberViewWithIcons(r.dialog) == QStringList{"Taro:130"}; }));
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(LogLines(r.dialog, "ログインし直しました"), 1);

    // Killed: the connection is just lost.
    server->Process().Kill();
    ASSERT_TRUE(WaitUntil([&] { return r.dialog.IsReconnecting(); }));
    server = std::make_unique<clienttest::ServerProcess>(ORVANE_BINARY, port);
    ASSERT_TRUE(server->Started());
    ASSERT_TRUE(WaitUntil([&] { return IsBack(r.dialog); }, 40000)) << Log(r.dialog)->toPlainText().toStdString();
    EXPECT_EQ(LogLines(r.dialog, "ログインし直しました"), 2);
    ASSERT_TRUE(WaitUntil([&] { return ViewNames(r.dialog) == QStringList{"Taro"}; }));
    // Each loss told once.
    EXPECT_EQ(r.messages, (std::vector<std::string>{"接続が切断されました", "ホストより接続が切断されました。"}));
}

TEST(EndToEnd, LogoutDuringTheTriesStopsThem) {
    std::unique_ptr<clienttest::ServerProcess> server = std::make_unique<Server>();
    ASSERT_TRUE(server->Started());
    const std::uint16_t port = server->Port();
    RecordingDialog r;
    LogIn(r, port, "Taro");
    server->Process().Kill();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "再接続 1 回目: ホストに接続できませんでした。2 秒後"); }));
    Button(r.dialog, IDC_LOGOUT)->click();
    EXPECT_FALSE(r.dialog.IsReconnecting());
    EXPECT_TRUE(Button(r.dialog, IDC_LOGIN)->isEnabled());
    EXPECT_TRUE(r.dialog.Control(IDC_HOST)->isEnabled());

    server = std::make_unique<clienttest::ServerProcess>(ORVANE_BINARY, port);
    ASSERT_TRUE(server->Started());
    const QString log = Log(r.dialog)->toPlainText();
    Pump(3000);  // past the try that would have come
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_EQ(Log(r.dialog)->toPlainText(), log);
    RawClient raw(port);
    ASSERT_TRUE(raw.Connected());
    raw.Send("login:Raw\r\n\r\nWho are login?\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return raw.CountLinesStartingWith("Member Size:") == 1; }));
    EXPECT_EQ(raw.CountLinesStartingWith("Member Size:00001"), 1);
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
}

TEST(EndToEnd, AFullServerIsAFailedTryAndAFreedSlotLetsTheDialogBack) {
    std::unique_ptr<clienttest::ServerProcess> server = std::make_unique<Server>();
    ASSERT_TRUE(server->Started());
    const std::uint16_t port = server->Port();
    RecordingDialog r;
    LogIn(r, port, "Taro");
    server->Process().Kill();
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "再接続 1 回目"); }));
    // The dialog's events do not run until the new server is full, so its
    // next try (due 2 s after the first) finds it full however slow the
    // machine is.
    server = std::make_unique<clienttest::ServerProcess>(ORVANE_BINARY, port);
    ASSERT_TRUE(server->Started());
    std::vector<std::unique_ptr<RawClient>> house;
    for (int i = 0; i < 25; ++i) {
        house.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(house.back()->Connected());
        house.back()->Send("login:Raw" + std::to_string(i) + "\r\n\r\n");
    }
    for (int waited = 0; !std::all_of(house.begin(), house.end(), [](const auto& c) {
             return c->CountLinesStartingWith("login succeeded") == 1;
         });
         waited += 10) {
        ASSERT_LT(waited, 30000) << "the new server never took all 25";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(LogHas(r.dialog, "再接続 2 回目"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(r.dialog, "再接続 2 回目"); }));
    EXPECT_TRUE(LogHas(r.dialog, "再接続 2 回目: サーバーが満員でログインできませんでした。4 秒後にもう一度試みます"))
        << Log(r.dialog)->toPlainText().toStdString();
    EXPECT_TRUE(r.dialog.IsReconnecting());

    house.back()->Send("logout\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return house.back()->CountLinesStartingWith("logout succeeded") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return IsBack(r.dialog); }, 40000)) << Log(r.dialog)->toPlainText().toStdString();
    EXPECT_TRUE(LogHas(r.dialog, "再接続 3 回目: 接続しました。ログインし直しました"));
    ASSERT_TRUE(WaitUntil([&] { return View(r.dialog)->count() == 25; }));
    // The refusal was a line of the log, not a box.
    EXPECT_EQ(r.messages, std::vector<std::string>{"ホストより接続が切断されました。"});
}

TEST(EndToEnd, ALateJoinerSeesWhatWasSaidGreyedAboveTheSeparator) {
    Server server;
    ASSERT_TRUE(server.Started());
    RecordingDialog taro, hanako;
    LogIn(taro, server.Port(), "Taro");
    Post(taro, QStringLiteral("before one"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro.dialog, "Taro> before one"); }));
    Post(taro, QStringLiteral("before two"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(taro.dialog, "Taro> before two"); }));
    LogIn(hanako, server.Port(), "Hanako");
    ASSERT_TRUE(WaitUntil([&] { return LogHas(hanako.dialog, "ここまでが参加前の発言です"); }));
    Post(taro, QStringLiteral("after"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(hanako.dialog, "Taro> after"); }));
    EXPECT_EQ(Log(hanako.dialog)->toPlainText(),
              QString::fromUtf8("Hanakoさんが参加されました\nTaro> before one\nTaro> before two\n"
                                "―――――― ここまでが参加前の発言です ――――――\nTaro> after\n"));
    const QColor grey = Log(hanako.dialog)->palette().color(QPalette::Disabled, QPalette::Text);
    std::vector<bool> greyed;
    for (QTextBlock b = Log(hanako.dialog)->document()->begin(); b.isValid(); b = b.next()) {
        if (b.text().isEmpty()) continue;
        greyed.push_back(b.begin().fragment().charFormat().foreground().color() == grey &&
                         b.begin().fragment().charFormat().hasProperty(QTextFormat::ForegroundBrush));
    }
    EXPECT_EQ(greyed, (std::vector<bool>{false, true, true, true, false}));

    // With ORVANE_HISTORY=0 nothing is kept: the answer is size 00000 and
    // nothing is shown of it.
    clienttest::ServerProcess none(ORVANE_BINARY, UnusedPort(), {"ORVANE_HISTORY=0"});
    ASSERT_TRUE(none.Started());
    RecordingDialog jiro, goro;
    LogIn(jiro, none.Port(), "Jiro");
    Post(jiro, QStringLiteral("unkept"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(jiro.dialog, "Jiro> unkept"); }));
    LogIn(goro, none.Port(), "Goro");
    Post(jiro, QStringLiteral("live"));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(goro.dialog, "Jiro> live"); }));
    EXPECT_EQ(Log(goro.dialog)->toPlainText(), QString::fromUtf8("Goroさんが参加されました\nJiro> live\n"));
}
