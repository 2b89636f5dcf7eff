#include "client/history_display.h"

#include <QPalette>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>

#include <algorithm>

namespace {

// Line ends as the log control keeps them.
QString ToLogText(std::string_view text) {
    QString result = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

}  // namespace

HistoryDisplay::HistoryDisplay(QPlainTextEdit* log) : log_(log) {}

QColor HistoryDisplay::HistoryColour() const { return log_->palette().color(QPalette::Disabled, QPalette::Text); }

void HistoryDisplay::BeginHistory(int count) {
    EndHistory();
    pending_ = std::max(count, 0);
    shown_ = 0;
}

void HistoryDisplay::AppendChat(std::string_view text) {
    if (pending_ == 0) {
        Insert(text, false);
        return;
    }
    Insert(text, true);
    ++shown_;
    if (--pending_ == 0) EndHistory();
}

void HistoryDisplay::Append(std::string_view text) {
    EndHistory();
    Insert(text, false);
}

void HistoryDisplay::EndHistory() {
    pending_ = 0;
    if (shown_ == 0) return;
    shown_ = 0;
    std::string line(kSeparator);
    line.append("\r\n");
    Insert(line, true);
}

void HistoryDisplay::Insert(std::string_view text, bool greyed) {
    // Insert at the end only: the cost of a line does not grow with the log,
    // and whatever the user typed into the log stays where it is. A fresh
    // format each time, so that no colour runs on from the text before.
    QTextCursor end(log_->document());
    end.movePosition(QTextCursor::End);
    QTextCharFormat format;
    if (greyed) format.setForeground(HistoryColour());
    end.insertText(ToLogText(text), format);
    QScrollBar* bar = log_->verticalScrollBar();
    bar->setValue(bar->maximum());
}
