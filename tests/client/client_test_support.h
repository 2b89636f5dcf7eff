// Helpers for the client's widget and session tests: waiting while the
// dialog's events run, a fake server on loopback that records every byte the
// client sends, and a dialog whose message boxes are recorded.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/chat_client_dlg.h"
#include "common/net_socket.h"

#include <ostream>

#include <QString>
#include <QStringList>

// Readable Qt strings in test failures.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}

namespace clienttest {

// Runs the event loop (timers included) until cond holds or the time is up.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 15000);
// Runs the event loop for a while.
void Pump(int milliseconds);

// One listening socket on 127.0.0.1; takes the client's connections one at a
// time and records what arrives on the current one.
class FakeServer {
public:
    FakeServer();
    ~FakeServer();
    std::uint16_t Port() const { return port_; }

    // Takes the next connection. Call only once the client has connected
    // (its Login has returned logged in): the connection is then queued.
    void Accept();
    void Send(std::string_view bytes);
    // Ends the current connection from the server's side.
    void CloseConnection();

    std::string Received() const;
    // True once what arrived contains needle (events run meanwhile).
    bool WaitForReceived(std::string_view needle, int timeoutMs = 15000) const;
    // The client ended the connection.
    bool PeerClosed() const { return peerClosed_.load(); }

private:
    void ReadLoop();

    std::uint16_t port_ = 0;
    std::unique_ptr<CNetSocket> listener_;
    std::unique_ptr<CNetSocket> connection_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string received_;
    std::atomic<bool> peerClosed_{false};
};

// The member list view as "name:icon", the icon being 130 (a member) or 131
// (a speaker), told apart by their pictures; "?" for any other picture.
QStringList MemberViewWithIcons(const CChatClientDlg& dialog);

// A listening socket on 127.0.0.1 whose backlog is full: a connection to it
// is neither taken nor refused, it just waits.
class SilentHost {
public:
    SilentHost();
    std::uint16_t Port() const { return port_; }

private:
    std::uint16_t port_ = 0;
    CNetSocket listener_;
    CNetSocket filler_;
};

// A dialog whose message boxes are recorded instead of shown.
struct RecordingDialog {
    RecordingDialog();
    CChatClientDlg dialog;
    std::vector<std::string> messages;
    // Runs inside the "message box", like the box's own event loop would.
    std::function<void(const std::string&)> whileBoxOpen;

    // Types host, port and name into the fields, presses Login and waits
    // until the connection attempt has ended. Stops reconnecting first.
    void LoginTo(std::uint16_t port, const std::string& name = "Taro");
};

// Sets an environment variable (or, with no value, removes it) until
// destruction, then puts back what was there. keepDefined: a variable that
// was not there before stays, with this value, instead of being removed.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value, bool keepDefined = false);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
    bool keepDefined_;
};

// SDL's disk sound driver for every dialog that logs in from now on:
// capture reads the input file, playback writes the output file (absolute
// paths), delayMs per 128 samples (negative: SDL's own real-time pace).
// SDL reads these when a device opens, so dialogs that log in one after the
// other under different instances get different files. The driver and the
// file names stay defined after it ends: SDL's device threads read the
// environment as they start, and adding or removing a variable moves the
// environment under a reader in another thread (a crash), where changing a
// value does not.
class DiskSound {
public:
    DiskSound(const std::string& input, const std::string& output, int delayMs = -1);

private:
    ScopedEnv driver_;
    ScopedEnv input_;
    ScopedEnv output_;
    ScopedEnv delay_;
};

// Messages of the shared code (the sound device's "Open error" among them)
// collected instead of printed, until destruction.
class SharedMessages {
public:
    SharedMessages();
    ~SharedMessages();
    std::vector<std::string> Texts() const;
};

}  // namespace clienttest
