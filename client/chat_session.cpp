#include "client/chat_session.h"

#include "client/strings.h"
#include "client/voice_path.h"
#include "protocol/history.h"
#include "protocol/messages.h"
#include "protocol/wideband_messages.h"

ChatSession::ChatSession(CVoicePath& voice, QObject* parent) : QObject(parent), voice_(voice) {}

bool ChatSession::IsSpeaking() const { return voice_.IsSending(); }

void ChatSession::Login(const std::string& host, int port, const std::string& name) {
    if (loggedIn_ || connection_.IsConnecting()) return;
    ownId_ = 0;
    ownVoicePass_ = 0;
    name_ = name;
    // Looking up and connecting go on while the owner keeps running; Tick
    // takes the attempt on. An address on this machine may well be
    // connected already.
    connection_.BeginConnect(host, port);
    emit attemptChanged();
    ContinueLogin();
}

void ChatSession::ContinueLogin() {
    switch (connection_.PollConnect()) {
        case CServerConnection::Attempt::kNone:
        case CServerConnection::Attempt::kConnecting:
            return;
        case CServerConnection::Attempt::kHostNotFound:
            emit attemptChanged();
            emit connectFailed(std::string(tessik::kHostNotFound));
            return;
        case CServerConnection::Attempt::kFailed:
            emit attemptChanged();
            emit connectFailed(std::string(tessik::kConnectFailed));
            return;
        case CServerConnection::Attempt::kConnected:
            BeginSession();
            return;
    }
}

void ChatSession::BeginSession() {
    // The receive thread runs before the login leaves, so no reply is missed.
    connection_.Send(protocol::BuildLogin(name_));
    connection_.Send(protocol::BuildWhoAreLogin());
    // Only a server that knows the request answers it; others ignore it.
    connection_.Send(protocol::BuildWhoAreSpeaking());
    // Wideband voice once the server answers; until then, and against a
    // server that never does, the classic voice.
    if (asksForWideband_) connection_.Send(protocol::BuildVoiceCodecRequest());
    // Last, so that what was said before comes after the lists; a server
    // that does not know it sends nothing back.
    connection_.Send(protocol::BuildMessageHistory());
    emit sessionStarted();
    // Logged in only once the sound devices are open: a message box about
    // them runs its own event loop, and the ticks meanwhile must not yet
    // take this for a session.
    voice_.Open();
    loggedIn_ = true;
}

void ChatSession::CancelConnect() {
    connection_.CancelConnect();
    emit attemptChanged();
}

void ChatSession::RequestLogout() {
    if (connection_.IsConnecting()) {
        CancelConnect();
        return;
    }
    // Only a session has a connection to send on.
    if (!loggedIn_) return;
    if (IsSpeaking()) StopSpeaking();
    connection_.Send(protocol::BuildLogout());
}

void ChatSession::Close() {
    if (!loggedIn_) return;
    StopSpeaking();
    voice_.Close();
    // The receive thread's read fails at once and the thread ends; it is
    // joined before anything it uses is renewed or released.
    connection_.Close();

    memberList_.Clear();
    ownId_ = 0;
    ownVoicePass_ = 0;
    loggedIn_ = false;
    emit sessionClosed();
}

void ChatSession::Abandon() {
    connection_.CancelConnect();
    connection_.ResetMessage();
    memberList_.Clear();
}

void ChatSession::Tick() {
    // A message box opened while this tick runs has its own event loop;
    // ticks that arrive meanwhile return here, and this one goes on once it
    // is closed.
    if (!tickGate_) return;
    tickGate_ = false;
    if (connection_.IsConnecting()) ContinueLogin();
    if (loggedIn_) {
        // Whatever the thread posted before it ended is handled first, so a
        // late tick loses neither the last lines nor the server's own
        // announcement of the end.
        bool threadEnded = connection_.ReceiveThreadEnded();
        std::string line;
        while (connection_.TakeLine(line)) {
            if (!line.empty()) {
                // The history's size line is no message of its own: the
                // messages it announces come as ordinary ones.
                int count = 0;
                if (connection_.Incoming().kind == KIND_NONE && protocol::ParseMessageHistorySize(line, &count)) {
                    emit historyAnnounced(count);
                }
                if (!voice_.TakeServerLine(line)) connection_.ParseLine(line);
            } else if (!voice_.EndServerMessage()) {
                ApplyMessage();
                connection_.ResetMessage();
            }
        }
        if (!threadEnded) {
            voice_.Tick(connection_, ownId_);
        } else if (loggedIn_) {
            emit connectionLost(std::string(tessik::kConnectionLost));
            Close();
        }
    }
    tickGate_ = true;
}

// The order is the outcome's: identity, the session's end, the members, the
// log, the voice, and last what the user is told, so that the controls
// already show an ended session when its reason is told.
void ChatSession::ApplyMessage() {
    IncomingMessage& message = connection_.Incoming();
    MessageOutcome outcome = message.Apply(memberList_);
    if (outcome.takeIdentity) {
        ownId_ = outcome.id;
        ownVoicePass_ = outcome.voicePass;
        emit loggedIn(ownId_, ownVoicePass_);
    }
    if (outcome.closeSession) Close();
    if (outcome.membersChanged) emit membersChanged();
    if (!outcome.logText.empty()) {
        switch (message.kind) {
            case KIND_MEMBER_LOGIN: emit memberJoined(message.ids[0], message.names[0]); break;
            case KIND_MEMBER_LOGOUT: emit memberLeft(message.ids[0], message.names[0]); break;
            case KIND_MESSAGE: emit messageReceived(message.ids[0], message.names[0], message.text); break;
            default: break;
        }
    }
    if (outcome.playVoice) voice_.PlayReceivedVoice(message.voiceFrame.data());
    switch (message.kind) {
        case KIND_LOGOUT_SUCCEEDED: emit logoutSucceeded(); break;
        case KIND_LOGIN_FAILED: emit loginRefused(outcome.notice); break;
        case KIND_DISCONNECTED: emit disconnectedByServer(outcome.notice); break;
        default: break;
    }
}

void ChatSession::Post(const std::string& text) {
    if (!loggedIn_ || text.empty()) return;
    connection_.Send(protocol::BuildMessage(text));
}

void ChatSession::ToggleSpeaking() {
    // Only a session has a connection to tell.
    if (!loggedIn_) return;
    if (IsSpeaking()) {
        StopSpeaking();
    } else {
        StartSpeaking();
    }
}

void ChatSession::StartSpeaking() {
    voice_.StartSending();
    emit speakingChanged(true);
    connection_.Send(protocol::BuildVoiceStart());
}

void ChatSession::StopSpeaking() {
    voice_.StopSending();
    emit speakingChanged(false);
    connection_.Send(protocol::BuildVoiceStop());
}
