// The history in a real message log: greyed history, the separator after
// it, live lines in the log's own format, and how an interrupted history and
// an empty one look. Then the dialog against a fake server: the history the
// server sends after the lists, an empty one, and a server that never
// answers the request (the log exactly as it always was).
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include <vector>

#include "client/dialog_layout.h"
#include "client/history_display.h"
#include "client_test_support.h"
#include "protocol/messages.h"

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

// ---- In the dialog ----

using clienttest::FakeServer;
using clienttest::RecordingDialog;
using clienttest::WaitUntil;

QPlainTextEdit* DialogLog(const CChatClientDlg& d) {
    return qobject_cast<QPlainTextEdit*>(d.Control(tessik::IDC_LOG));
}

QColor DialogGrey(const CChatClientDlg& d) {
    return DialogLog(d)->palette().color(QPalette::Disabled, QPalette::Text);
}

// Logged in as Taro (ID 1), with what a server sends first: the reply, the
// own join, both lists.
void LogIn(RecordingDialog& r, FakeServer& server) {
    r.LoginTo(server.Port(), "Taro");
    ASSERT_TRUE(r.dialog.IsLoggedIn());
    server.Accept();
    ASSERT_TRUE(server.WaitForReceived("Message History?\r\n\r\n"));
    std::string wire;
    protocol::AppendLoginSucceeded(wire, 1, 9);
    protocol::AppendMemberLogin(wire, 1, "Taro");
    protocol::AppendMemberSize(wire, 1);
    protocol::AppendListEntry(wire, 1, "Taro");
    protocol::AppendListEnd(wire);
    wire += "Speaking Member Size:00000\r\n\r\n";
    server.Send(wire);
}

std::string Chat(const std::string& text, int id, const std::string& name) {
    std::string out;
    protocol::AppendTextMessage(out, text, id, name);
    return out;
}

TEST(HistoryInTheDialog, ShownGreyedAboveTheSeparatorThenLiveAsAlways) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("Message History Size:00002\r\n\r\n" + Chat("朝の会議は10時から", 2, "Ann") + Chat("了解", 3, "Bob") +
                Chat("おはよう", 1, "Taro"));
    std::string join;
    protocol::AppendMemberLogin(join, 4, "Hanako");
    server.Send(join + Chat("Message History Size:00009", 4, "Hanako"));
    ASSERT_TRUE(WaitUntil([&] { return DialogLog(r.dialog)->toPlainText().contains("Hanako> "); }));
    EXPECT_EQ(Lines(*DialogLog(r.dialog), DialogGrey(r.dialog)),
              (std::vector<Line>{{"Taroさんが参加されました", false},
                                 {"Ann> 朝の会議は10時から", true},
                                 {"Bob> 了解", true},
                                 {kSeparator, true},
                                 {"Taro> おはよう", false},
                                 {"Hanakoさんが参加されました", false},
                                 // A size line inside a chat text is text.
                                 {"Hanako> Message History Size:00009", false}}));
    EXPECT_TRUE(r.messages.empty());
}

TEST(HistoryInTheDialog, AnEmptyHistoryShowsNothingOfIt) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("Message History Size:00000\r\n\r\n" + Chat("live", 1, "Taro"));
    ASSERT_TRUE(WaitUntil([&] { return DialogLog(r.dialog)->toPlainText().contains("live"); }));
    EXPECT_EQ(Lines(*DialogLog(r.dialog), DialogGrey(r.dialog)),
              (std::vector<Line>{{"Taroさんが参加されました", false}, {"Taro> live", false}}));
}

// A server that does not know the request ignores it and sends nothing: the
// client cannot wait for an answer, and shows everything as it always did.
TEST(HistoryInTheDialog, AServerThatNeverAnswersLeavesTheLogAsItAlwaysWas) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send(Chat("one", 1, "Taro") + Chat("two", 2, "Ann"));
    ASSERT_TRUE(WaitUntil([&] { return DialogLog(r.dialog)->toPlainText().contains("two"); }));
    EXPECT_EQ(DialogLog(r.dialog)->toPlainText(), QString::fromUtf8("Taroさんが参加されました\nTaro> one\nAnn> two\n"));
    EXPECT_EQ(Lines(*DialogLog(r.dialog), DialogGrey(r.dialog)),
              (std::vector<Line>{{"Taroさんが参加されました", false}, {"Taro> one", false}, {"Ann> two", false}}));
}

// The session ends before all of the history came: what came is closed by
// the separator, and the next session's history is its own.
TEST(HistoryInTheDialog, AHistoryCutShortIsClosedAndTheNextLoginAsksAgain) {
    FakeServer server;
    RecordingDialog r;
    LogIn(r, server);
    server.Send("Message History Size:00003\r\n\r\n" + Chat("first", 2, "Ann"));
    ASSERT_TRUE(WaitUntil([&] { return DialogLog(r.dialog)->toPlainText().contains("first"); }));
    server.Send("logout succeeded\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !r.dialog.IsLoggedIn(); }));
    LogIn(r, server);
    EXPECT_EQ(server.Received(),
              "login:Taro\r\n\r\nWho are login?\r\n\r\nWho are speaking?\r\n\r\nVoice Codec:opus\r\n\r\nMessage History?\r\n\r\n");
    server.Send("Message History Size:00001\r\n\r\n" + Chat("first", 2, "Ann") + Chat("now", 1, "Taro"));
    ASSERT_TRUE(WaitUntil([&] { return DialogLog(r.dialog)->toPlainText().contains("now"); }));
    EXPECT_EQ(Lines(*DialogLog(r.dialog), DialogGrey(r.dialog)),
              (std::vector<Line>{{"Taroさんが参加されました", false},
                                 {"Ann> first", true},
                                 {kSeparator, true},
                                 {"Taroさんが参加されました", false},
                                 {"Ann> first", true},
                                 {kSeparator, true},
                                 {"Taro> now", false}}));
}

}  // namespace
