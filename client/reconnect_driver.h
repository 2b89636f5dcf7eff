// Staying in the conference: after a lost connection or the server's
// "disconnected", and never after the user's own logout, the session logs in
// again by itself with the host, port and name of the user's last login, as
// the reconnector times it. Each try ends logged in ("login succeeded"), or
// failed: not found, not connected, refused as full, or dropped before the
// answer. The loss is told once, as the tries begin; what goes wrong during
// them is told only in the message log. Every other failure is told as
// before, through tell.
#pragma once

#include <string>

#include <QObject>

#include "client/reconnect_schedule.h"

class ChatSession;
class QTimer;
class Reconnector;

class ReconnectDriver : public QObject {
    Q_OBJECT
public:
    // A try that has connected but has no answer to its login after this
    // long is given up (a server that takes connections but never answers).
    static constexpr int kAnswerTimeLimitMs = 10000;

    // The session must outlive this object.
    explicit ReconnectDriver(ChatSession& session, QObject* parent = nullptr);

    // The user's login: the tries that may follow use the same fields.
    void Login(const std::string& host, int port, const std::string& name);
    // The user's logout: reconnecting stops at once (a try under way ends
    // now, without a word to the server); otherwise the session's own
    // logout, after which a lost connection is not tried again.
    void Logout();
    // The window goes away: no try any more.
    void Stop();

    // Waiting for a try or trying.
    bool IsReconnecting() const;

signals:
    // A message box, as the client has always shown it.
    void tell(const std::string& text);
    // The connection is gone and the tries begin: told once per loss.
    void lost(const std::string& text);
    // One line for the message log, with its "\r\n".
    void logLine(const std::string& line);
    // Reconnecting began or ended: the controls may show something else.
    void stateChanged();

private:
    void Try();
    void TryEnded(ReconnectOutcome outcome);
    void ConnectFailed(const std::string& text);
    void LoginRefused(const std::string& text);
    void Lost(const std::string& text);
    void AnswerTimedOut();

    ChatSession& session_;
    Reconnector* reconnector_;
    QTimer* answerTimer_;
    std::string host_;
    std::string name_;
    int port_ = 0;
    // The user asked to log out of this session.
    bool leaving_ = false;
};
