// When to try again after a lost connection: soon at first, since most drops
// are short (a laptop lid, a server restarted by its service), then less and
// less often, and from the sixth try on every 30 s, so that a server that
// stays away is not hammered. Every try that does not end logged in counts
// as failed: a host that is not found, a refused connection, a connection
// that ends before the login is taken, and a server that answers "login
// failed" because it is full. Success starts the schedule afresh. Knows no
// widget and no clock: its owner times the tries.
#pragma once

#include <array>
#include <chrono>
#include <string>

enum class ReconnectOutcome {
    kBack,
    kHostNotFound,
    kConnectFailed,
    kServerFull,
    // Connected, but the connection ended before the server took the login.
    kDropped,
};

class ReconnectSchedule {
public:
    using Delay = std::chrono::milliseconds;
    static constexpr std::array<Delay, 5> kFirstDelays = {Delay(1000), Delay(2000), Delay(4000), Delay(8000),
                                                          Delay(15000)};
    static constexpr Delay kSteadyDelay = Delay(30000);

    // How long to wait before the next try.
    Delay NextDelay() const;
    // The number the next try will have, from 1.
    int NextTry() const { return failedTries_ + 1; }
    int FailedTries() const { return failedTries_; }

    // A try ended so. kBack starts the schedule afresh; anything else makes
    // the next wait longer.
    void Record(ReconnectOutcome outcome);
    // Back to the first delay (a success, or the user logged out).
    void Reset() { failedTries_ = 0; }

private:
    int failedTries_ = 0;
};

// The message log's lines about reconnecting, each ending "\r\n". The first
// tells that the connection is gone and when the first try comes; then one
// line per try with its outcome, and for a failure when the next try comes.
std::string ReconnectStartLine(ReconnectSchedule::Delay firstDelay);
std::string ReconnectTryLine(int tryNumber, ReconnectOutcome outcome, ReconnectSchedule::Delay nextDelay);
// The user gave up reconnecting (logout).
std::string ReconnectStoppedLine();
