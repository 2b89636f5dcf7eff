// The main dialog with real widgets: its template, font, field checks, the
// name limit, which buttons are enabled, Enter routing, the message box, the
// context menu with the about box, and the message log.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "client/chat_client_dlg.h"
#include "client/dialog_layout.h"
#include "client_test_support.h"

using namespace tessik;
using clienttest::FakeServer;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;

namespace {

template <typename T>
T* Get(const CChatClientDlg& dialog, int id) {
    T* widget = qobject_cast<T*>(dialog.Control(id));
    EXPECT_NE(widget, nullptr) << id;
    return widget;
}

QLineEdit* Edit(const CChatClientDlg& d, int id) { return Get<QLineEdit>(d, id); }
QPushButton* Button(const CChatClientDlg& d, int id) { return Get<QPushButton>(d, id); }

struct Enabled {
    bool login, logout, speak, post;
    bool operator==(const Enabled&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Enabled& e) {
    return os << "login " << e.login << " logout " << e.logout << " speak " << e.speak << " post " << e.post;
}
Enabled ButtonsOf(const CChatClientDlg& d) {
    return {Button(d, IDC_LOGIN)->isEnabled(), Button(d, IDC_LOGOUT)->isEnabled(),
            Button(d, IDC_SPEAK)->isEnabled(), Button(d, IDC_POST)->isEnabled()};
}

// Types each character as a key press carrying it as text, as an input
// method delivers characters without a key of their own.
void TypeText(QWidget* w, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &release);
    }
}

void ShowAndActivate(QWidget& w) {
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
}

void PressEnterOn(QWidget* w) {
    w->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(WaitUntil([w] { return w->hasFocus(); }, 5000));
    QTest::keyClick(w, Qt::Key_Return);
}

// Logs the dialog in to a fake server and takes the connection.
void LogIn(RecordingDialog& r, FakeServer& server, const std::string& name = "Taro") {
    r.LoginTo(server.Port(), name);
    ASSERT_TRUE(r.dialog.IsLoggedIn()) << (r.messages.empty() ? "" : r.messages.back());
    server.Accept();
}

}  // namespace

// The dialog as the user meets it, checked against what it must look like
// rather than against the table it is built from: every control of its kind
// with its caption, all inside the window and none over another, each label
// beside or above its field, the captions whole, and Tab going through the
// controls in reading order.
TEST(DialogTemplate, ControlsOfTheirKindsInsideTheWindowApartLabelledAndInReadingOrder) {
    CChatClientDlg dialog;
    ShowAndActivate(dialog);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Tessik"));
    DialogUnits units(dialog.font());
    EXPECT_EQ(dialog.size(), QSize(units.ToPixelsX(293), units.ToPixelsY(239)));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());  // not resizable
    EXPECT_GE(units.BaseX(), 4);
    EXPECT_GE(units.BaseY(), 8);
    // One control placed by hand from its dialog units: across and down are
    // not mixed up on the way to pixels.
    EXPECT_EQ(dialog.Control(IDC_HOST)->geometry(),
              QRect(units.ToPixelsX(32), units.ToPixelsY(7), units.ToPixelsX(184), units.ToPixelsY(12)));

    const std::vector<std::pair<int, QString>> buttons = {{IDC_LOGIN, QStringLiteral("ログイン")},
                                                          {IDC_LOGOUT, QStringLiteral("ログアウト")},
                                                          {IDC_POST, QString::fromUtf8("投\u3000稿")},
                                                          {IDC_SPEAK, QString::fromUtf8("発\u3000言")}};
    for (const auto& [id, caption] : buttons) {
        QPushButton* button = Button(dialog, id);
        ASSERT_NE(button, nullptr) << id;
        EXPECT_EQ(button->text(), caption) << id;
        EXPECT_FALSE(button->autoDefault()) << id;
    }
    for (int id : {IDC_HOST, IDC_NAME, IDC_PORT, IDC_POST_TEXT}) ASSERT_NE(Edit(dialog, id), nullptr) << id;
    auto* log = Get<QPlainTextEdit>(dialog, IDC_LOG);
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(log->isReadOnly());
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
    ASSERT_NE(Get<QListWidget>(dialog, IDC_MEMBERS), nullptr);

    // Each label and the field it names: on the field's row to its left, or
    // just above it.
    auto labelled = [&](const char* caption, int id, bool above) {
        QLabel* label = nullptr;
        for (QLabel* candidate : dialog.findChildren<QLabel*>()) {
            if (candidate->text() == QString::fromUtf8(caption)) label = candidate;
        }
        ASSERT_NE(label, nullptr) << caption;
        const QRect l = label->geometry(), f = dialog.Control(id)->geometry();
        if (above) {
            EXPECT_LE(l.bottom(), f.top()) << caption;
            EXPECT_LT(f.top() - l.bottom(), l.height()) << caption;
            EXPECT_LT(std::abs(l.left() - f.left()), l.height()) << caption;
        } else {
            EXPECT_LE(l.right(), f.left()) << caption;
            EXPECT_LT(f.left() - l.right(), l.height()) << caption;
            EXPECT_TRUE(l.top() >= f.top() && l.bottom() <= f.bottom()) << caption;
        }
        // The caption shows whole.
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), l.width()) << caption;
    };
    labelled("ホスト", IDC_HOST, false);
    labelled("参加名", IDC_NAME, false);
    labelled("ポート番号", IDC_PORT, false);
    labelled("メッセージ", IDC_LOG, true);
    labelled("参加者リスト", IDC_MEMBERS, true);
    labelled("投稿メッセージ", IDC_POST_TEXT, true);
    for (const auto& [id, caption] : buttons) {
        QPushButton* button = Button(dialog, id);
        EXPECT_LT(button->fontMetrics().horizontalAdvance(caption), button->width()) << id;
    }

    const QRect client = dialog.rect();
    const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    int shown = 0;
    for (QWidget* control : controls) {
        if (!control->isVisible()) continue;
        ++shown;
        EXPECT_TRUE(client.contains(control->geometry())) << control->objectName().toStdString();
        for (QWidget* other : controls) {
            if (other == control || !other->isVisible()) continue;
            EXPECT_FALSE(control->geometry().intersects(other->geometry()))
                << control->objectName().toStdString() << " over " << other->objectName().toStdString();
        }
    }
    EXPECT_EQ(shown, 16);  // ten controls and six labels

    // Tab: host, name, port, login, logout, log, list, post text, post, speak.
    const std::vector<int> order = {IDC_HOST, IDC_NAME, IDC_PORT,      IDC_LOGIN, IDC_LOGOUT,
                                    IDC_LOG,  IDC_MEMBERS, IDC_POST_TEXT, IDC_POST, IDC_SPEAK};
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = dialog.Control(order[i])->nextInFocusChain();
        while (next && next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
        EXPECT_EQ(next, dialog.Control(order[i + 1])) << order[i];
    }
}

TEST(DialogTemplate, DialogFontIsAJapaneseFaceCoveringEveryCaption) {
    // Fails on a machine without a Japanese font: the captions would show as boxes.
    ASSERT_FALSE(QFontDatabase::families(QFontDatabase::Japanese).isEmpty()) << "no Japanese font installed";
    QFont font = DialogFont();
    QString family = QFontInfo(font).family();
    EXPECT_TRUE(QFontDatabase::writingSystems(family).contains(QFontDatabase::Japanese)) << family.toStdString();
    EXPECT_TRUE(FontCoversCaptions(font)) << family.toStdString();
    EXPECT_EQ(family, QStringLiteral("IPAPGothic")) << "the IPA P-Gothic face (fonts-ipafont-gothic) is missing";
    CChatClientDlg dialog;
    EXPECT_EQ(QFontInfo(dialog.font()).family(), family);
    EXPECT_EQ(dialog.font().pointSize(), 9);
}

TEST(DialogTemplate, StartsLoggedOutWithDefaultsAndFocusOnHost) {
    CChatClientDlg dialog;
    ShowAndActivate(dialog);
    EXPECT_EQ(Edit(dialog, IDC_HOST)->text(), QStringLiteral("localhost"));
    EXPECT_EQ(Edit(dialog, IDC_NAME)->text(), QStringLiteral("(No name)"));
    EXPECT_EQ(Edit(dialog, IDC_PORT)->text(), QStringLiteral("1024"));
    EXPECT_EQ(Edit(dialog, IDC_POST_TEXT)->text(), QString());
    EXPECT_EQ(ButtonsOf(dialog), (Enabled{true, false, false, false}));
    EXPECT_TRUE(Edit(dialog, IDC_HOST)->hasFocus());
    EXPECT_FALSE(dialog.IsLoggedIn());
    EXPECT_FALSE(dialog.windowIcon().isNull());
    EXPECT_EQ(Get<QListWidget>(dialog, IDC_MEMBERS)->iconSize(), QSize(12, 12));
}

TEST(FieldChecks, PortOutOfRangeIsToldFocusedSelectedAndNothingHappens) {
    RecordingDialog r;
    ShowAndActivate(r.dialog);
    Edit(r.dialog, IDC_HOST)->setText("127.0.0.1");
    Edit(r.dialog, IDC_PORT)->setText("80");
    Button(r.dialog, IDC_LOGIN)->click();
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "1024 から 65535 までの整数を入力してください。");
    EXPECT_TRUE(Edit(r.dialog, IDC_PORT)->hasFocus());
    EXPECT_EQ(Edit(r.dialog, IDC_PORT)->selectedText(), QStringLiteral("80"));
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    EXPECT_EQ(ButtonsOf(r.dialog), (Enabled{true, false, false, false}));

    Edit(r.dialog, IDC_PORT)->setText("65536");
    Button(r.dialog, IDC_LOGIN)->click();
    ASSERT_EQ(r.messages.size(), 2u);
    EXPECT_EQ(r.messages[1], "1024 から 65535 までの整数を入力してください。");
}

TEST(FieldChecks, LettersInThePortAreNotAnInteger) {
    RecordingDialog r;
    ShowAndActivate(r.dialog);
    Edit(r.dialog, IDC_HOST)->setText("127.0.0.1");
    Edit(r.dialog, IDC_PORT)->setText("abc");
    Edit(r.dialog, IDC_POST_TEXT)->setText("kept");
    QTest::keyClick(Edit(r.dialog, IDC_HOST), Qt::Key_Return);  // Enter logs in while logged out
    ASSERT_EQ(r.messages, std::vector<std::string>{"整数を入力してください。"});
    EXPECT_TRUE(Edit(r.dialog, IDC_PORT)->hasFocus());
    EXPECT_EQ(Edit(r.dialog, IDC_PORT)->selectedText(), QStringLiteral("abc"));
    EXPECT_FALSE(r.dialog.IsLoggedIn());
    // Fields after the failing one are not touched.
    EXPECT_EQ(Edit(r.dialog, IDC_POST_TEXT)->text(), QStringLiteral("kept"));
}

TEST(FieldChecks, AGoodPortWithBlanksIsReadAndShownAsANumber) {
    FakeServer server;
    RecordingDialog r;
    Edit(r.dialog, IDC_HOST)->setText("127.0.0.1");
    Edit(r.dialog, IDC_PORT)->setText(QStringLiteral("  +%1 ").arg(server.Port()));
    Button(r.dialog, IDC_LOGIN)->click();
    ASSERT_TRUE(r.dialog.IsLoggedIn());
    server.Accept();
    EXPECT_EQ(Edit(r.dialog, IDC_PORT)->text(), QString::number(server.Port()));
    EXPECT_TRUE(r.messages.empty());
}

TEST(FieldChecks, HostThatDoesNotResolveIsToldInTwoLines) {
    RecordingDialog r;
    Edit(r.dialog, IDC_HOST)->setText("");
    Button(r.dialog, IDC_LOGIN)->click();
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "インターネット接続が切れているか、\r\nホストが見つかりませんでした");
    EXPECT_EQ(ButtonsOf(r.dialog), (Enabled{true, false, false, false}));
}

TEST(NameLimit, TypingStopsAt45Bytes) {
    CChatClientDlg dialog;
    ShowAndActivate(dialog);
    QLineEdit* name = Edit(dialog, IDC_NAME);
    name->clear();
    name->setFocus();
    QTest::keyClicks(name, QString(50, QLatin1Char('a')));
    EXPECT_EQ(name->text(), QString(45, QLatin1Char('a')));

    // Kana take three bytes each: 15 fit, the 16th is refused.
    name->clear();
    TypeText(name, QString(16, QChar(0x3042)));
    EXPECT_EQ(name->text(), QString(15, QChar(0x3042)));
    EXPECT_EQ(name->text().toUtf8().size(), 45);

    // 44 bytes leave no room for a three-byte character.
    name->setText(QString(44, QLatin1Char('b')));
    name->end(false);
    TypeText(name, QString(QChar(0x3042)));
    EXPECT_EQ(name->text(), QString(44, QLatin1Char('b')));
    QTest::keyClicks(name, QStringLiteral("c"));
    EXPECT_EQ(name->text(), QString(44, QLatin1Char('b')) + QLatin1Char('c'));
}

TEST(NameLimit, PastingKeepsWhatFits) {
    CChatClientDlg dialog;
    ShowAndActivate(dialog);
    QLineEdit* name = Edit(dialog, IDC_NAME);
    name->setText(QStringLiteral("ab"));
    name->setCursorPosition(1);
    QApplication::clipboard()->setText(QString(60, QLatin1Char('x')));
    name->paste();
    // What fits of the paste goes in at the cursor; the rest is cut off.
    EXPECT_EQ(name->text(), QLatin1Char('a') + QString(43, QLatin1Char('x')) + QLatin1Char('b'));
    EXPECT_EQ(name->text().toUtf8().size(), 45);
}

TEST(Enabling, ThreeStatesAndTheSpeakCaptions) {
    FakeServer server;
    RecordingDialog r;
    EXPECT_EQ(ButtonsOf(r.dialog), (Enabled{true, false, false, false}));
    LogIn(r, server);
    EXPECT_EQ(ButtonsOf(r.dialog), (Enabled{false, true, true, true}));
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QString::fromUtf8("発\u3000言"));
    for (int id : {IDC_HOST, IDC_NAME, IDC_PORT, IDC_LOG, IDC_POST_TEXT, IDC_MEMBERS}) {
        EXPECT_TRUE(r.dialog.Control(id)->isEnabled()) << id;
    }

    Button(r.dialog, IDC_SPEAK)->click();
    EXPECT_TRUE(r.dialog.IsSpeaking());
    EXPECT_EQ(ButtonsOf(r.dialog), (Enabled{false, true, true, true}));
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QString::fromUtf8("発言中"));
    for (int id : {IDC_HOST, IDC_NAME, IDC_PORT, IDC_LOG, IDC_POST_TEXT, IDC_MEMBERS}) {
        EXPECT_TRUE(r.dialog.Control(id)->isEnabled()) << id;
    }

    Button(r.dialog, IDC_SPEAK)->click();
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QStringLiteral("発 言"));

    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    EXPECT_EQ(ButtonsOf(r.dialog), (Enabled{true, false, false, false}));
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QStringLiteral("発 言"));
    EXPECT_TRUE(r.messages.empty());
}

TEST(Enabling, SpeakAndLogoutDoNothingWithoutASession) {
    RecordingDialog r;
    r.dialog.OnSpeakButton();
    r.dialog.RequestLogout();
    r.dialog.Session().Close();
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(Button(r.dialog, IDC_SPEAK)->text(), QString::fromUtf8("発\u3000言"));
    EXPECT_TRUE(r.messages.empty());
}

TEST(EnterRouting, LoggedOutEnterInAnyEditOrOnLoginLogsIn) {
    for (int target : {IDC_HOST, IDC_NAME, IDC_PORT, IDC_POST_TEXT, IDC_LOG, IDC_LOGIN}) {
        FakeServer server;
        RecordingDialog r;
        ShowAndActivate(r.dialog);
        Edit(r.dialog, IDC_HOST)->setText("127.0.0.1");
        Edit(r.dialog, IDC_PORT)->setText(QString::number(server.Port()));
        QPlainTextEdit* log = Get<QPlainTextEdit>(r.dialog, IDC_LOG);
        PressEnterOn(r.dialog.Control(target));
        EXPECT_TRUE(r.dialog.IsLoggedIn()) << target;
        EXPECT_TRUE(log->toPlainText().isEmpty()) << "Enter reached the log as a new line";
        if (r.dialog.IsLoggedIn()) {
            server.Accept();
            EXPECT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n")) << target;
        }
    }
}

TEST(EnterRouting, LoggedInEnterPostsExceptOnTheLogoutButton) {
    FakeServer server;
    RecordingDialog r;
    ShowAndActivate(r.dialog);
    LogIn(r, server);
    ASSERT_TRUE(server.WaitForReceived("Who are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n"));
    // Login put the focus on the post text box.
    EXPECT_TRUE(Edit(r.dialog, IDC_POST_TEXT)->hasFocus());

    QLineEdit* post = Edit(r.dialog, IDC_POST_TEXT);
    int n = 0;
    for (int target : {IDC_POST_TEXT, IDC_HOST, IDC_POST, IDC_SPEAK, IDC_LOG, IDC_MEMBERS}) {
        std::string text = "text" + std::to_string(++n);
        post->setText(QString::fromStdString(text));
        PressEnterOn(r.dialog.Control(target));
        EXPECT_TRUE(server.WaitForReceived("Message:" + text + "\r\n\r\n")) << target;
        EXPECT_EQ(post->text(), QString()) << target;
    }
    // Enter on the speak button posted instead of toggling speaking.
    EXPECT_FALSE(r.dialog.IsSpeaking());
    EXPECT_EQ(server.Received().find("Voice Start"), std::string::npos);
    EXPECT_TRUE(Get<QPlainTextEdit>(r.dialog, IDC_LOG)->toPlainText().isEmpty());

    // An empty post text sends nothing.
    std::string before = server.Received();
    PressEnterOn(post);
    clienttest::Pump(100);
    EXPECT_EQ(server.Received(), before);

    PressEnterOn(r.dialog.Control(IDC_LOGOUT));
    EXPECT_TRUE(server.WaitForReceived("logout\r\n\r\n"));
    // Still logged in until the server confirms.
    EXPECT_TRUE(r.dialog.IsLoggedIn());
    EXPECT_TRUE(r.messages.empty());
}

TEST(MessageBox, ExclamationCaptionTessikAndOk) {
    CChatClientDlg dialog;
    ShowAndActivate(dialog);
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen = true;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(20);
    dialog.ShowMessage("インターネット接続が切れているか、\r\nホストが見つかりませんでした");
    poll.stop();
    ASSERT_TRUE(seen);
    EXPECT_EQ(title, QStringLiteral("Tessik"));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(text, QString::fromUtf8("インターネット接続が切れているか、\nホストが見つかりませんでした"));
}

TEST(ContextMenu, AboutEntryOpensTheAboutBox) {
    CChatClientDlg dialog;
    ShowAndActivate(dialog);
    bool menuSeen = false;
    QStringList entries;
    QString aboutTitle;
    QSize aboutSize;
    bool aboutHasIcon = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            menuSeen = true;
            for (QAction* action : menu->actions()) entries << (action->isSeparator() ? "-" : action->text());
            for (QAction* action : menu->actions()) {
                if (action->text() == QString::fromUtf8("Tessik のﾊﾞｰｼﾞｮﾝ情報(&A)...")) {
                    // Chosen as a click would: the menu closes, then the
                    // entry opens the about box modally (outside this timer,
                    // which does not fire again while it runs).
                    menu->close();
                    QTimer::singleShot(0, action, &QAction::trigger);
                    return;
                }
            }
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != &dialog) {
            aboutTitle = modal->windowTitle();
            aboutSize = modal->size();
            for (QLabel* label : modal->findChildren<QLabel*>()) {
                if (!label->pixmap().isNull()) aboutHasIcon = true;
            }
            for (QPushButton* button : modal->findChildren<QPushButton*>()) {
                if (button->text() == QStringLiteral("OK")) button->click();
            }
        }
    });
    poll.start(20);
    QPoint inside(5, 5);  // on the dialog itself, off every control
    QContextMenuEvent event(QContextMenuEvent::Mouse, inside, dialog.mapToGlobal(inside));
    QApplication::sendEvent(&dialog, &event);
    ASSERT_TRUE(WaitUntil([&] { return !aboutTitle.isEmpty() && !QApplication::activeModalWidget(); }, 10000));
    poll.stop();
    EXPECT_TRUE(menuSeen);
    EXPECT_EQ(entries, (QStringList{QString::fromUtf8("メッセージログを保存(&S)..."), "-",
                                    QString::fromUtf8("Tessik のﾊﾞｰｼﾞｮﾝ情報(&A)..."), "-",
                                    QString::fromUtf8("ノイズ抑制(&N)"), QString::fromUtf8("自動音量調整(&G)")}));
    EXPECT_EQ(aboutTitle, QString::fromUtf8("Tessikのﾊﾞｰｼﾞｮﾝ情報"));
    EXPECT_EQ(aboutSize, DialogUnits(dialog.font()).ToPixels(kAboutDialog));
    EXPECT_TRUE(aboutHasIcon);
}

TEST(MessageLog, AppendKeepsWhatTheUserTypedInsertsOnlyAtTheEndAndScrolls) {
    FakeServer server;
    RecordingDialog r;
    ShowAndActivate(r.dialog);
    LogIn(r, server);
    QPlainTextEdit* log = Get<QPlainTextEdit>(r.dialog, IDC_LOG);
    log->setPlainText(QStringLiteral("typed by me"));
    QTextCursor userCursor = log->textCursor();
    userCursor.setPosition(0);
    userCursor.setPosition(5, QTextCursor::KeepAnchor);
    log->setTextCursor(userCursor);

    int removedTotal = 0, firstChangeAt = -1;
    QObject::connect(log->document(), &QTextDocument::contentsChange, [&](int position, int removed, int) {
        removedTotal += removed;
        if (firstChangeAt < 0) firstChangeAt = position;
    });
    std::string burst;
    for (int i = 0; i < 200; ++i) {
        burst += "Message:line " + std::to_string(i) + "\r\nID:00001\r\nName:Taro\r\n\r\n";
    }
    server.Send(burst);
    ASSERT_TRUE(WaitUntil([&] { return log->toPlainText().endsWith(QStringLiteral("Taro> line 199\n")); }));
    EXPECT_TRUE(log->toPlainText().startsWith(QStringLiteral("typed by meTaro> line 0\nTaro> line 1\n")));
    EXPECT_EQ(removedTotal, 0);  // nothing rewritten
    EXPECT_EQ(firstChangeAt, 11);
    // The user's selection is untouched.
    EXPECT_EQ(log->textCursor().selectedText(), QStringLiteral("typed"));
    QScrollBar* bar = log->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
}
