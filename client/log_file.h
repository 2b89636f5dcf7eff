// Keeping the message log: its text written to a file the user chooses, as
// UTF-8 with the line ends the log shows ("\n"), no byte-order mark, so that
// any editor or grep reads it. The file is written whole or not at all.
#pragma once

#include <string>
#include <string_view>

class QDateTime;
class QString;
class QWidget;

// The right-click menu's entry.
inline constexpr std::string_view kSaveLogMenuText = "メッセージログを保存(&S)...";

// A name that tells one saved log from another: Tessik-YYYYMMDD-HHMM.txt.
QString SuggestedLogFileName(const QDateTime& when);

// The usual file dialog, starting in the user's documents folder with the
// suggested name; empty when the user cancels.
QString AskLogFilePath(QWidget* parent);

// Writes text to path, replacing what was there. False, with the message the
// user is shown in *error, when the file cannot be written (a folder that
// does not exist or may not be written, a full disk).
bool SaveLogFile(const QString& path, const QString& text, std::string* error);
