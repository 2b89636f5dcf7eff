// The reconnect schedule: the delays in order, the steady delay after them,
// what counts as a failed try, the fresh start after success, and the log
// lines that tell the user.
#include <gtest/gtest.h>

#include <vector>

#include "client/reconnect_schedule.h"

namespace {

using namespace std::chrono_literals;

std::vector<long long> DelaysOfFailedTries(ReconnectSchedule& schedule, int tries, ReconnectOutcome outcome) {
    std::vector<long long> seen;
    for (int i = 0; i < tries; ++i) {
        seen.push_back(schedule.NextDelay().count());
        schedule.Record(outcome);
    }
    return seen;
}

TEST(ReconnectSchedule, BacksOffThenTriesEveryThirtySeconds) {
    ReconnectSchedule schedule;
    EXPECT_EQ(schedule.NextTry(), 1);
    EXPECT_EQ(DelaysOfFailedTries(schedule, 9, ReconnectOutcome::kConnectFailed),
              (std::vector<long long>{1000, 2000, 4000, 8000, 15000, 30000, 30000, 30000, 30000}));
    EXPECT_EQ(schedule.NextTry(), 10);
    EXPECT_EQ(schedule.NextDelay(), 30s);
}

TEST(ReconnectSchedule, EveryOutcomeButBackIsAFailedTry) {
    for (ReconnectOutcome outcome :
         {ReconnectOutcome::kHostNotFound, ReconnectOutcome::kConnectFailed, ReconnectOutcome::kServerFull,
          ReconnectOutcome::kDropped}) {
        ReconnectSchedule schedule;
        schedule.Record(outcome);
        schedule.Record(outcome);
        EXPECT_EQ(schedule.FailedTries(), 2);
        EXPECT_EQ(schedule.NextDelay(), 4s);
    }
}

TEST(ReconnectSchedule, SuccessAndResetStartAfresh) {
    ReconnectSchedule schedule;
    DelaysOfFailedTries(schedule, 7, ReconnectOutcome::kServerFull);
    schedule.Record(ReconnectOutcome::kBack);
    EXPECT_EQ(schedule.FailedTries(), 0);
    EXPECT_EQ(schedule.NextDelay(), 1s);
    // The next drop backs off from the start again, not from where the last
    // one ended.
    EXPECT_EQ(DelaysOfFailedTries(schedule, 3, ReconnectOutcome::kConnectFailed),
              (std::vector<long long>{1000, 2000, 4000}));
    schedule.Reset();
    EXPECT_EQ(schedule.NextDelay(), 1s);
    EXPECT_EQ(schedule.NextTry(), 1);
}

TEST(ReconnectSchedule, LogLinesTellTheTryTheOutcomeAndTheNextWait) {
    EXPECT_EQ(ReconnectStartLine(1s), "接続が切れました。1 秒後に再接続します\r\n");
    EXPECT_EQ(ReconnectTryLine(3, ReconnectOutcome::kConnectFailed, 8s),
              "再接続 3 回目: ホストに接続できませんでした。8 秒後にもう一度試みます\r\n");
    EXPECT_EQ(ReconnectTryLine(1, ReconnectOutcome::kServerFull, 2s),
              "再接続 1 回目: サーバーが満員でログインできませんでした。2 秒後にもう一度試みます\r\n");
    EXPECT_EQ(ReconnectTryLine(2, ReconnectOutcome::kHostNotFound, 1500ms),
              "再接続 2 回目: ホストが見つかりませんでした。2 秒後にもう一度試みます\r\n");
    EXPECT_EQ(ReconnectTryLine(4, ReconnectOutcome::kDropped, 15s),
              "再接続 4 回目: ログインの前に接続が切れました。15 秒後にもう一度試みます\r\n");
    EXPECT_EQ(ReconnectStoppedLine(), "再接続をやめました\r\n");
    EXPECT_EQ(ReconnectTryLine(6, ReconnectOutcome::kBack, 1s), "再接続 6 回目: 接続しました。ログインし直しました\r\n");
}

}  // namespace
