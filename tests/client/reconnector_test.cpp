// The reconnector on a running event loop: the first try after the first
// delay, longer waits after failed tries, the log line of every try, a fresh
// schedule after coming back, and Stop ending everything at once.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include "client/reconnector.h"

namespace {

class ReconnectorTest : public ::testing::Test {
protected:
    ReconnectorTest() {
        QObject::connect(&reconnector_, &Reconnector::logLine, [this](const std::string& line) { lines_.push_back(line); });
        QObject::connect(&reconnector_, &Reconnector::tryNow, [this] { ++tries_; });
    }

    // Lets the wait in progress end now instead of after its delay, through
    // the reconnector's own timer and the event loop.
    bool CutWaitShort() {
        auto* timer = reconnector_.findChild<QTimer*>();
        if (!timer || !timer->isActive()) return false;
        const int before = tries_;
        timer->start(0);
        return QTest::qWaitFor([&] { return tries_ > before; }, 5000);
    }

    Reconnector reconnector_;
    std::vector<std::string> lines_;
    int tries_ = 0;
};

TEST_F(ReconnectorTest, FirstTryComesAfterTheFirstDelay) {
    reconnector_.Begin();
    EXPECT_TRUE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.IsTrying());
    EXPECT_EQ(reconnector_.WaitMs(), 1000);
    EXPECT_EQ(lines_, (std::vector<std::string>{"接続が切れました。1 秒後に再接続します\r\n"}));
    EXPECT_EQ(tries_, 0);
    // The real wait, once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return tries_ == 1; }, 10000));
    EXPECT_TRUE(reconnector_.IsTrying());
    EXPECT_EQ(reconnector_.WaitMs(), 0);
    // Beginning again while active changes nothing.
    reconnector_.Begin();
    EXPECT_TRUE(reconnector_.IsTrying());
    EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(ReconnectorTest, FailedTriesWaitLongerEachTimeThenThirtySeconds) {
    reconnector_.Begin();
    std::vector<int> waits{reconnector_.WaitMs()};
    const ReconnectOutcome outcomes[] = {ReconnectOutcome::kConnectFailed, ReconnectOutcome::kServerFull,
                                         ReconnectOutcome::kHostNotFound, ReconnectOutcome::kConnectFailed,
                                         ReconnectOutcome::kConnectFailed, ReconnectOutcome::kServerFull};
    for (ReconnectOutcome outcome : outcomes) {
        ASSERT_TRUE(CutWaitShort());
        reconnector_.TryEnded(outcome);
        waits.push_back(reconnector_.WaitMs());
    }
    EXPECT_EQ(waits, (std::vector<int>{1000, 2000, 4000, 8000, 15000, 30000, 30000}));
    EXPECT_EQ(tries_, 6);
    ASSERT_EQ(lines_.size(), 7u);
    EXPECT_EQ(lines_[1], "再接続 1 回目: ホストに接続できませんでした。2 秒後にもう一度試みます\r\n");
    EXPECT_EQ(lines_[2], "再接続 2 回目: サーバーが満員でログインできませんでした。4 秒後にもう一度試みます\r\n");
    EXPECT_EQ(lines_[6], "再接続 6 回目: サーバーが満員でログインできませんでした。30 秒後にもう一度試みます\r\n");
}

TEST_F(ReconnectorTest, BackEndsItAndTheNextDropStartsAfresh) {
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    ASSERT_TRUE(CutWaitShort());
    reconnector_.TryEnded(ReconnectOutcome::kBack);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_EQ(lines_.back(), "再接続 2 回目: 接続しました。ログインし直しました\r\n");
    // A second report for the same try is ignored.
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_EQ(lines_.size(), 3u);

    reconnector_.Begin();
    EXPECT_EQ(reconnector_.WaitMs(), 1000);
    ASSERT_TRUE(CutWaitShort());
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    EXPECT_EQ(lines_.back(), "再接続 1 回目: ホストに接続できませんでした。2 秒後にもう一度試みます\r\n");
}

TEST_F(ReconnectorTest, StopWhileWaitingAsksForNoTry) {
    reconnector_.Begin();
    reconnector_.Stop();
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.findChild<QTimer*>()->isActive());
    // Nothing is left to fire.
    EXPECT_FALSE(CutWaitShort());
    EXPECT_EQ(tries_, 0);
}

TEST_F(ReconnectorTest, StopDuringATryIgnoresItsOutcome) {
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    reconnector_.Stop();
    reconnector_.TryEnded(ReconnectOutcome::kConnectFailed);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.findChild<QTimer*>()->isActive());
    EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(ReconnectorTest, StopFromALogLineStopsForGood) {
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    QObject::connect(&reconnector_, &Reconnector::logLine, &reconnector_, &Reconnector::Stop);
    reconnector_.TryEnded(ReconnectOutcome::kServerFull);
    EXPECT_FALSE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.findChild<QTimer*>()->isActive());
}

TEST_F(ReconnectorTest, ATryThatEndsAtOnceGoesOnWaiting) {
    // An owner that finds out at once (the host is not found) reports from
    // inside tryNow.
    QObject::connect(&reconnector_, &Reconnector::tryNow, &reconnector_,
                     [this] { reconnector_.TryEnded(ReconnectOutcome::kHostNotFound); });
    reconnector_.Begin();
    ASSERT_TRUE(CutWaitShort());
    EXPECT_TRUE(reconnector_.IsActive());
    EXPECT_FALSE(reconnector_.IsTrying());
    EXPECT_EQ(reconnector_.WaitMs(), 2000);
}

}  // namespace
