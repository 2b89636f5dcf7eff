// How the message log shows what was said before the user came: the history
// the server sends at login is written greyed, and a separator line stands
// between it and what is said from then on, so that neither can be taken for
// the other. Every line of the log goes through here: after grey text the
// log's cursor would carry the grey on into the next line.
#pragma once

#include <string_view>

#include <QColor>

class QPlainTextEdit;

class HistoryDisplay {
public:
    static constexpr std::string_view kSeparator = "―――――― ここまでが参加前の発言です ――――――";

    // Writes into log, which must outlive this object.
    explicit HistoryDisplay(QPlainTextEdit* log);

    // The history's size line arrived: the next count chat lines are history.
    // With 0 nothing is shown, not even the separator.
    void BeginHistory(int count);
    // A chat line (a "Message:" message), with its "\r\n": greyed while
    // history is expected, and after the last one the separator.
    void AppendChat(std::string_view text);
    // Any other line of the log: as it is, in the log's own colours. History
    // still expected is given up first (see EndHistory).
    void Append(std::string_view text);
    // The session ended before all of the history came: what came of it is
    // closed by the separator, and nothing later counts as history.
    void EndHistory();

    // Chat lines still to come as history.
    int PendingHistory() const { return pending_; }
    // The colour history is written in.
    QColor HistoryColour() const;

private:
    void Insert(std::string_view text, bool greyed);

    QPlainTextEdit* log_;
    int pending_ = 0;
    // History lines written since the size line, so the separator has
    // something to close.
    int shown_ = 0;
};
