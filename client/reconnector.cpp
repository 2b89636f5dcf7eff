#include "client/reconnector.h"

#include <QTimer>

Reconnector::Reconnector(QObject* parent) : QObject(parent), timer_(new QTimer(this)) {
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &Reconnector::Fire);
}

// The state changes before a line goes out, so that a slot that stops the
// reconnecting on a line stops it for good.
void Reconnector::Begin() {
    if (IsActive()) return;
    schedule_.Reset();
    Wait();
    emit logLine(ReconnectStartLine(schedule_.NextDelay()));
}

void Reconnector::TryEnded(ReconnectOutcome outcome) {
    // A late report (after Stop, or twice for one try) changes nothing.
    if (state_ != State::kTrying) return;
    const int tryNumber = schedule_.NextTry();
    schedule_.Record(outcome);
    if (outcome == ReconnectOutcome::kBack) {
        state_ = State::kIdle;
    } else {
        Wait();
    }
    emit logLine(ReconnectTryLine(tryNumber, outcome, schedule_.NextDelay()));
}

void Reconnector::Stop() {
    timer_->stop();
    state_ = State::kIdle;
    schedule_.Reset();
}

int Reconnector::WaitMs() const { return state_ == State::kWaiting ? timer_->interval() : 0; }

void Reconnector::Wait() {
    state_ = State::kWaiting;
    timer_->start(static_cast<int>(schedule_.NextDelay().count()));
}

void Reconnector::Fire() {
    if (state_ != State::kWaiting) return;
    state_ = State::kTrying;
    emit tryNow();
}
