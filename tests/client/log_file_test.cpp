// Saving the message log: the exact bytes on disk, Japanese text included,
// a file replaced whole, and a clear message when it cannot be written. Then
// the dialog's menu entry, with the file dialog's answer given by the test.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <QAction>
#include <QMenu>

#include "client/dialog_layout.h"
#include "client/history_display.h"
#include "client/log_file.h"
#include "client_test_support.h"
#include "protocol/messages.h"

namespace {

std::string FileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll().toStdString();
}

TEST(LogFile, WritesTheLogAsUtf8WithoutAByteOrderMark) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // The log as the dialog fills it, so that the test sees its real text.
    QPlainTextEdit log;
    HistoryDisplay display(&log);
    display.Append("太郎さんが参加されました\r\n");
    display.AppendChat("太郎> こんにちは、world\r\n");
    display.AppendChat("Hanako> ｶﾀｶﾅ and \"quotes\"\r\n");

    const QString path = QDir(folder.path()).filePath("log.txt");
    std::string error;
    ASSERT_TRUE(SaveLogFile(path, log.toPlainText(), &error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(FileBytes(path),
              "\xE5\xA4\xAA\xE9\x83\x8E\xE3\x81\x95\xE3\x82\x93\xE3\x81\x8C\xE5\x8F\x82\xE5\x8A\xA0\xE3\x81\x95"
              "\xE3\x82\x8C\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\n"
              "\xE5\xA4\xAA\xE9\x83\x8E> \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x81"
              "world\n"
              "Hanako> \xEF\xBD\xB6\xEF\xBE\x80\xEF\xBD\xB6\xEF\xBE\x85 and \"quotes\"\n");
}

TEST(LogFile, ReplacesAnEarlierFileWhole) {
    QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath("log.txt");
    std::string error;
    ASSERT_TRUE(SaveLogFile(path, QStringLiteral("a much longer first log\nwith two lines\n"), &error));
    ASSERT_TRUE(SaveLogFile(path, QStringLiteral("short\n"), &error));
    EXPECT_EQ(FileBytes(path), "short\n");
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"log.txt"});
}

TEST(LogFile, AFolderThatCannotBeWrittenIsToldClearly) {
    QTemporaryDir folder;
    const QString missing = QDir(folder.path()).filePath("no such folder/log.txt");
    std::string error;
    EXPECT_FALSE(SaveLogFile(missing, QStringLiteral("text\n"), &error));
    const std::string head = "メッセージログを保存できませんでした。\r\n" + missing.toStdString() + "\r\n";
    ASSERT_GT(error.size(), head.size());
    EXPECT_EQ(error.substr(0, head.size()), head);
    EXPECT_FALSE(QFile::exists(missing));

    // A folder where the file should be.
    error.clear();
    EXPECT_FALSE(SaveLogFile(folder.path(), QStringLiteral("text\n"), &error));
    EXPECT_NE(error, "");
}

TEST(LogFile, SuggestedNameCarriesDateAndTime) {
    EXPECT_EQ(SuggestedLogFileName(QDateTime(QDate(2026, 12, 8), QTime(9, 5))), "Tessik-20261208-0905.txt");
}

// Chooses the menu's entry as the user would.
bool ChooseSaveLog(CChatClientDlg& dialog) {
    for (QMenu* menu : dialog.findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            if (action->text() == QString::fromUtf8("メッセージログを保存(&S)...")) {
                action->trigger();
                return true;
            }
        }
    }
    return false;
}

TEST(LogFileFromTheDialog, TheMenuEntryWritesTheWholeLogAsShown) {
    QTemporaryDir folder;
    const QString path = QDir(folder.path()).filePath("kept.txt");
    clienttest::FakeServer server;
    clienttest::RecordingDialog r;
    r.LoginTo(server.Port(), "Taro");
    ASSERT_TRUE(r.dialog.IsLoggedIn());
    server.Accept();
    std::string wire;
    protocol::AppendMemberLogin(wire, 1, "Taro");
    wire += "Message History Size:00001\r\n\r\n";
    protocol::AppendTextMessage(wire, "昨日の件", 2, "Ann");
    protocol::AppendTextMessage(wire, "today", 1, "Taro");
    server.Send(wire);
    auto* log = qobject_cast<QPlainTextEdit*>(r.dialog.Control(tessik::IDC_LOG));
    ASSERT_TRUE(clienttest::WaitUntil([&] { return log->toPlainText().contains("today"); }));

    int asked = 0;
    r.dialog.Log().SetPathChooser([&] {
        ++asked;
        return path;
    });
    ASSERT_TRUE(ChooseSaveLog(r.dialog));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(FileBytes(path), "Taro\xE3\x81\x95\xE3\x82\x93\xE3\x81\x8C\xE5\x8F\x82\xE5\x8A\xA0\xE3\x81\x95\xE3\x82\x8C"
                               "\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\n"
                               "Ann> \xE6\x98\xA8\xE6\x97\xA5\xE3\x81\xAE\xE4\xBB\xB6\n" +
                                   std::string(HistoryDisplay::kSeparator) + "\nTaro> today\n");
    EXPECT_TRUE(r.messages.empty());

    // Cancelled: nothing written, nothing told.
    r.dialog.Log().SetPathChooser([] { return QString(); });
    ASSERT_TRUE(ChooseSaveLog(r.dialog));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"kept.txt"});
    EXPECT_TRUE(r.messages.empty());

    // A place that cannot be written is told in the message box.
    const QString missing = QDir(folder.path()).filePath("gone/kept.txt");
    r.dialog.Log().SetPathChooser([&] { return missing; });
    ASSERT_TRUE(ChooseSaveLog(r.dialog));
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].rfind("メッセージログを保存できませんでした。\r\n" + missing.toStdString() + "\r\n", 0), 0u);
}

}  // namespace
