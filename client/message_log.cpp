#include "client/message_log.h"

#include <QPlainTextEdit>

#include "client/attention.h"
#include "client/log_file.h"

MessageLog::MessageLog(QPlainTextEdit* log, QWidget* window)
    : QObject(window), log_(log), window_(window), history_(log), attention_(new Attention(window, this)) {}

void MessageLog::AppendChat(std::string_view line) {
    const bool live = history_.PendingHistory() == 0;
    history_.AppendChat(line);
    if (live) attention_->OnMessage();
}

bool MessageLog::Save(std::string* error) {
    const QString path = chooser_ ? chooser_() : AskLogFilePath(window_);
    if (path.isEmpty()) return true;
    return SaveLogFile(path, log_->toPlainText(), error);
}

int MessageLog::Unseen() const { return attention_->Unseen(); }
