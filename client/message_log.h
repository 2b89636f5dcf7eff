// The message log as the dialog writes it: every line goes through here, so
// that history the server sends at login is greyed and closed by its
// separator, a live chat message draws the user's attention while the window
// is not active (history does not), and the whole log can be kept in a file.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <QObject>
#include <QString>

#include "client/history_display.h"

class Attention;
class QPlainTextEdit;
class QWidget;

class MessageLog : public QObject {
    Q_OBJECT
public:
    // Writes into log and watches window; both must outlive this object.
    MessageLog(QPlainTextEdit* log, QWidget* window);

    // A line that is no chat message (joins, departures, reconnecting).
    void Append(std::string_view line) { history_.Append(line); }
    // A chat message's line: history while it is expected, else live.
    void AppendChat(std::string_view line);
    void BeginHistory(int count) { history_.BeginHistory(count); }
    void EndHistory() { history_.EndHistory(); }

    // Asks where to save (the usual file dialog) and writes the log there as
    // UTF-8. False, with the text to tell in *error, when it could not be
    // written; true also when the user chose no file.
    bool Save(std::string* error);
    // Replaces the file dialog by a function that returns the path (tests and
    // automation); empty means cancelled. An empty function restores it.
    using PathChooser = std::function<QString()>;
    void SetPathChooser(PathChooser chooser) { chooser_ = std::move(chooser); }

    // Live messages the user has not seen since the window was last active.
    int Unseen() const;

private:
    QPlainTextEdit* log_;
    QWidget* window_;
    HistoryDisplay history_;
    Attention* attention_;
    PathChooser chooser_;
};
