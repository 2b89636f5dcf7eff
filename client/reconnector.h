// Coming back by itself after a lost connection: waits as the reconnect
// schedule says, asks its owner to try (with the same host, name and port),
// and is told how each try ended. Every try and its outcome becomes one line
// for the message log. Stop ends it at once, whatever it is doing (the user's
// logout, the window closing). Never blocks: the waits are a timer's.
#pragma once

#include <string>

#include <QObject>

#include "client/reconnect_schedule.h"

class QTimer;

class Reconnector : public QObject {
    Q_OBJECT
public:
    explicit Reconnector(QObject* parent = nullptr);

    // The connection is gone, not by the user's wish: the first try comes
    // after the first delay. Nothing happens while already active.
    void Begin();
    // The try asked for by tryNow ended so. kBack ends the reconnecting;
    // anything else waits for the next try.
    void TryEnded(ReconnectOutcome outcome);
    // Gives up at once: no try is asked for any more.
    void Stop();

    // Waiting for a try or trying: the fields stay as they are, and a lost
    // connection or a refused login is a failed try, not a message box.
    bool IsActive() const { return state_ != State::kIdle; }
    bool IsTrying() const { return state_ == State::kTrying; }
    // The wait before the try to come, while waiting.
    int WaitMs() const;

signals:
    // Try now: connect and log in as before, then call TryEnded.
    void tryNow();
    // One line for the message log, with its "\r\n".
    void logLine(const std::string& line);

private:
    enum class State { kIdle, kWaiting, kTrying };

    void Wait();
    void Fire();

    ReconnectSchedule schedule_;
    QTimer* timer_;
    State state_ = State::kIdle;
};
