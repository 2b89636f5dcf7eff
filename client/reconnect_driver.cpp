#include "client/reconnect_driver.h"

#include <QTimer>

#include "client/chat_session.h"
#include "client/reconnector.h"
#include "client/strings.h"

ReconnectDriver::ReconnectDriver(ChatSession& session, QObject* parent)
    : QObject(parent), session_(session), reconnector_(new Reconnector(this)), answerTimer_(new QTimer(this)) {
    answerTimer_->setSingleShot(true);
    connect(answerTimer_, &QTimer::timeout, this, &ReconnectDriver::AnswerTimedOut);
    connect(reconnector_, &Reconnector::tryNow, this, &ReconnectDriver::Try);
    connect(reconnector_, &Reconnector::logLine, this, &ReconnectDriver::logLine);

    connect(&session_, &ChatSession::connectFailed, this, &ReconnectDriver::ConnectFailed);
    connect(&session_, &ChatSession::loginRefused, this, &ReconnectDriver::LoginRefused);
    connect(&session_, &ChatSession::disconnectedByServer, this, &ReconnectDriver::Lost);
    connect(&session_, &ChatSession::connectionLost, this, &ReconnectDriver::Lost);
    connect(&session_, &ChatSession::sessionStarted, this, [this] {
        if (reconnector_->IsTrying()) answerTimer_->start(kAnswerTimeLimitMs);
    });
    connect(&session_, &ChatSession::loggedIn, this, [this] {
        if (reconnector_->IsTrying()) TryEnded(ReconnectOutcome::kBack);
    });
}

bool ReconnectDriver::IsReconnecting() const { return reconnector_->IsActive(); }

void ReconnectDriver::Login(const std::string& host, int port, const std::string& name) {
    host_ = host;
    port_ = port;
    name_ = name;
    leaving_ = false;
    session_.Login(host_, port_, name_);
}

void ReconnectDriver::Logout() {
    if (!IsReconnecting()) {
        leaving_ = true;
        session_.RequestLogout();
        return;
    }
    Stop();
    if (session_.IsConnecting()) session_.CancelConnect();
    // A try's session that has no answer yet: the server takes the closed
    // connection as a logout.
    session_.Close();
    emit logLine(ReconnectStoppedLine());
    emit stateChanged();
}

void ReconnectDriver::Stop() {
    answerTimer_->stop();
    reconnector_->Stop();
}

void ReconnectDriver::Try() {
    leaving_ = false;
    emit stateChanged();
    session_.Login(host_, port_, name_);
}

void ReconnectDriver::TryEnded(ReconnectOutcome outcome) {
    answerTimer_->stop();
    reconnector_->TryEnded(outcome);
    emit stateChanged();
}

void ReconnectDriver::ConnectFailed(const std::string& text) {
    if (!reconnector_->IsTrying()) {
        emit tell(text);
        return;
    }
    TryEnded(text == tessik::kHostNotFound ? ReconnectOutcome::kHostNotFound : ReconnectOutcome::kConnectFailed);
}

void ReconnectDriver::LoginRefused(const std::string& text) {
    if (!reconnector_->IsTrying()) {
        emit tell(text);
        return;
    }
    TryEnded(ReconnectOutcome::kServerFull);
}

void ReconnectDriver::Lost(const std::string& text) {
    if (reconnector_->IsTrying()) {
        TryEnded(ReconnectOutcome::kDropped);
        return;
    }
    if (leaving_) {
        emit tell(text);
        return;
    }
    reconnector_->Begin();
    emit lost(text);
    emit stateChanged();
}

void ReconnectDriver::AnswerTimedOut() {
    if (!reconnector_->IsTrying()) return;
    session_.Close();
    TryEnded(ReconnectOutcome::kDropped);
}
