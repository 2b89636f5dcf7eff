#include "client/log_file.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString SuggestedLogFileName(const QDateTime& when) {
    return QStringLiteral("Tessik-") + when.toString(QStringLiteral("yyyyMMdd-HHmm")) + QStringLiteral(".txt");
}

QString AskLogFilePath(QWidget* parent) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty()) folder = QDir::homePath();
    const QString suggested = QDir(folder).filePath(SuggestedLogFileName(QDateTime::currentDateTime()));
    return QFileDialog::getSaveFileName(parent, ToQString("メッセージログの保存"), suggested,
                                        ToQString("テキスト ファイル (*.txt);;すべてのファイル (*)"));
}

bool SaveLogFile(const QString& path, const QString& text, std::string* error) {
    // Into a temporary file beside the target, renamed over it at the end: a
    // failure half-way leaves an earlier log as it was.
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) return true;
    *error = "メッセージログを保存できませんでした。\r\n" + path.toStdString() + "\r\n" +
             file.errorString().toStdString();
    return false;
}
