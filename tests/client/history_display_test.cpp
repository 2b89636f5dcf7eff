// The history in a real message log: greyed history, the separator after
// it, live lines in the log's own format, and how an interrupted history and
// an empty one look.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include <vector>

#include "client/history_display.h"

namespace {

// One line of the log: its text and whether any of it is greyed.
struct Line {
    std::string text;
    bool greyed = false;
    bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
    return out << (line.greyed ? "grey:" : "plain:") << line.text;
}

std::vector<Line> Lines(const QPlainTextEdit& log, const QColor& grey) {
    std::vector<Line> lines;
    for (QTextBlock block = log.document()->begin(); block.isValid(); block = block.next()) {
        if (block.text().isEmpty() && !block.next().isValid()) break;  // after the last line end
        Line line{block.text().toStdString()};
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            const bool fragmentGrey =
                format.hasProperty(QTextFormat::ForegroundBrush) && format.foreground().color() == grey;
            // A line is grey or not as a whole.
            if (it == block.begin()) {
                line.greyed = fragmentGrey;
            } else {
                EXPECT_EQ(fragmentGrey, line.greyed) << line.text;
            }
        }
        lines.push_back(line);
    }
    return lines;
}

const std::string kSeparator(HistoryDisplay::kSeparator);

TEST(HistoryDisplay, HistoryGreyedThenSeparatorThenLiveLines) {
    QPlainTextEdit log;
    HistoryDisplay display(&log);
    display.Append("Taroさんが参加されました\r\n");
    display.BeginHistory(2);
    EXPECT_EQ(display.PendingHistory(), 2);
    display.AppendChat("Ann> 朝の会議は10時から\r\n");
    display.AppendChat("Bob> 了解\r\n");
    EXPECT_EQ(display.PendingHistory(), 0);
    display.AppendChat("Taro> おはよう\r\n");
    display.Append("Annさんが退席されました\r\n");
    const QColor grey = display.HistoryColour();
    EXPECT_EQ(Lines(log, grey), (std::vector<Line>{{"Taroさんが参加されました", false},
                                                   {"Ann> 朝の会議は10時から", true},
                                                   {"Bob> 了解", true},
                                                   {kSeparator, true},
                                                   {"Taro> おはよう", false},
                                                   {"Annさんが退席されました", false}}));
    EXPECT_EQ(log.toPlainText().toStdString(), "Taroさんが参加されました\nAnn> 朝の会議は10時から\nBob> 了解\n" +
                                                   kSeparator + "\nTaro> おはよう\nAnnさんが退席されました\n");
    // Grey is a colour of its own, not the log's text colour.
    EXPECT_NE(grey, log.palette().color(QPalette::Active, QPalette::Text));
}

TEST(HistoryDisplay, EmptyHistoryShowsNoSeparator) {
    QPlainTextEdit log;
    HistoryDisplay display(&log);
    display.BeginHistory(0);
    display.AppendChat("Ann> live\r\n");
    EXPECT_EQ(Lines(log, display.HistoryColour()), (std::vector<Line>{{"Ann> live", false}}));
}

TEST(HistoryDisplay, AnInterruptedHistoryIsClosedAndNothingLaterIsGrey) {
    QPlainTextEdit log;
    HistoryDisplay display(&log);
    display.BeginHistory(5);
    display.AppendChat("Ann> one\r\n");
    // The session ended before the rest came.
    display.EndHistory();
    display.AppendChat("Ann> next session\r\n");
    EXPECT_EQ(Lines(log, display.HistoryColour()),
              (std::vector<Line>{{"Ann> one", true}, {kSeparator, true}, {"Ann> next session", false}}));
}

TEST(HistoryDisplay, EachLoginShowsItsOwnHistory) {
    QPlainTextEdit log;
    HistoryDisplay display(&log);
    display.BeginHistory(1);
    display.AppendChat("Ann> first\r\n");
    display.BeginHistory(1);
    display.AppendChat("Ann> again\r\n");
    display.AppendChat("Ann> live\r\n");
    EXPECT_EQ(Lines(log, display.HistoryColour()),
              (std::vector<Line>{{"Ann> first", true},
                                 {kSeparator, true},
                                 {"Ann> again", true},
                                 {kSeparator, true},
                                 {"Ann> live", false}}));
}

TEST(HistoryDisplay, TextTheUserTypedStaysAndTheLogScrollsToItsEnd) {
    QPlainTextEdit log;
    log.resize(200, 60);
    log.setPlainText("typed by the user\n");
    HistoryDisplay display(&log);
    display.BeginHistory(30);
    for (int i = 0; i < 30; ++i) display.AppendChat("Ann> line\r\n");
    EXPECT_TRUE(log.toPlainText().startsWith("typed by the user\nAnn> line\n"));
    EXPECT_GT(log.verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(log.verticalScrollBar()->value(), log.verticalScrollBar()->maximum());
}

}  // namespace
