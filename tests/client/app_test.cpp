// The application's pieces around the dialog: shared code's messages as
// message boxes from any thread, the automation variable, and how the dialog
// ends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include "client/chat_client_app.h"
#include "client/chat_client_dlg.h"
#include "client_test_support.h"
#include "platform/message_box.h"

using clienttest::WaitUntil;

TEST(MessagePresenter, AMessageFromAnotherThreadIsShownOnTheDialogsThread) {
    InstallMessagePresenter();
    std::atomic<bool> returned{false};
    bool returnedWhileOpen = true, onDialogThread = false;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    // The box runs its own event loop; this timer looks at it from inside.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        onDialogThread = box->thread() == QApplication::instance()->thread();
        returnedWhileOpen = returned.load();  // the reporter waits for the box
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(20);
    std::thread reporter([&] {
        platform::ShowMessageBox("Error at CThreadCommunicationBuffer Receive");
        returned.store(true);
    });
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    reporter.join();
    poll.stop();
    platform::SetMessagePresenter(nullptr);
    EXPECT_EQ(title, QStringLiteral("Tessik"));
    EXPECT_EQ(text, QStringLiteral("Error at CThreadCommunicationBuffer Receive"));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(onDialogThread);
    EXPECT_FALSE(returnedWhileOpen);
}

TEST(AutoLogin, HostPortAndTheRestAsName) {
    auto login = ParseAutoLogin("127.0.0.1:5000:Taro:the second");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->host, "127.0.0.1");
    EXPECT_EQ(login->port, 5000);
    EXPECT_EQ(login->name, "Taro:the second");
    auto empty = ParseAutoLogin("localhost:1024:");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->name, "");
    EXPECT_FALSE(ParseAutoLogin(nullptr));
    EXPECT_FALSE(ParseAutoLogin("localhost"));
    EXPECT_FALSE(ParseAutoLogin("localhost:port:Taro"));
}

TEST(AutoLogin, LoginAsFillsTheFieldsAndLogsIn) {
    clienttest::FakeServer server;
    clienttest::RecordingDialog r;
    r.dialog.LoginAs("127.0.0.1", server.Port(), "Auto");
    ASSERT_TRUE(clienttest::WaitUntil([&] { return r.dialog.IsLoggedIn(); }));
    server.Accept();
    EXPECT_TRUE(server.WaitForReceived("login:Auto\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n"));
}

TEST(Ending, EscEndsTheDialog) {
    CChatClientDlg dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTimer::singleShot(50, [&] { QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape); });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
}

TEST(Ending, ClosingWhileLoggedInSendsNothingAndTheServerSeesTheEnd) {
    clienttest::FakeServer server;
    auto r = std::make_unique<clienttest::RecordingDialog>();
    r->LoginTo(server.Port());
    ASSERT_TRUE(r->dialog.IsLoggedIn());
    server.Accept();
    server.Send("Member Size:00001\r\nID:00001\r\nName:Taro\r\n\r\nMessage:half\r\n");
    ASSERT_TRUE(WaitUntil([&] { return r->dialog.Members().Count() == 1 && r->dialog.Incoming().kind == KIND_MESSAGE; }));
    r->dialog.show();
    r->dialog.close();
    // Closing empties the message under assembly and the member list.
    EXPECT_EQ(r->dialog.Incoming().kind, KIND_NONE);
    EXPECT_EQ(r->dialog.Members().Count(), 0);
    r.reset();
    EXPECT_TRUE(WaitUntil([&] { return server.PeerClosed(); }, 5000));
    EXPECT_EQ(server.Received(), "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
}
