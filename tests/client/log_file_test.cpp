// Saving the message log: the exact bytes on disk, Japanese text included,
// a file replaced whole, and a clear message when it cannot be written.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include "client/history_display.h"
#include "client/log_file.h"

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

}  // namespace
