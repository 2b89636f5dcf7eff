#include "client/reconnect_schedule.h"

namespace {

std::string Seconds(ReconnectSchedule::Delay delay) {
    // Rounded up: "0 秒後" would read as "now".
    return std::to_string((delay.count() + 999) / 1000);
}

std::string_view OutcomeText(ReconnectOutcome outcome) {
    switch (outcome) {
        case ReconnectOutcome::kBack: return "接続しました";
        case ReconnectOutcome::kHostNotFound: return "ホストが見つかりませんでした";
        case ReconnectOutcome::kConnectFailed: return "ホストに接続できませんでした";
        case ReconnectOutcome::kServerFull: return "サーバーが満員でログインできませんでした";
        case ReconnectOutcome::kDropped: return "ログインの前に接続が切れました";
    }
    return {};
}

}  // namespace

ReconnectSchedule::Delay ReconnectSchedule::NextDelay() const {
    if (failedTries_ < static_cast<int>(kFirstDelays.size())) return kFirstDelays[static_cast<std::size_t>(failedTries_)];
    return kSteadyDelay;
}

void ReconnectSchedule::Record(ReconnectOutcome outcome) {
    if (outcome == ReconnectOutcome::kBack) {
        Reset();
        return;
    }
    ++failedTries_;
}

std::string ReconnectStartLine(ReconnectSchedule::Delay firstDelay) {
    return "接続が切れました。" + Seconds(firstDelay) + " 秒後に再接続します\r\n";
}

std::string ReconnectTryLine(int tryNumber, ReconnectOutcome outcome, ReconnectSchedule::Delay nextDelay) {
    std::string line = "再接続 " + std::to_string(tryNumber) + " 回目: ";
    line.append(OutcomeText(outcome));
    if (outcome == ReconnectOutcome::kBack) {
        line.append("。ログインし直しました");
    } else {
        line.append("。" + Seconds(nextDelay) + " 秒後にもう一度試みます");
    }
    line.append("\r\n");
    return line;
}

std::string ReconnectStoppedLine() { return "再接続をやめました\r\n"; }
