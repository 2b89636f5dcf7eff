// One conference session as the client lives it, without any widget: the
// login (looking up, connecting, the requests that open a session), what the
// server's messages mean, speaking, posting and the end in each of its ways.
// It drives the connection and the voice path from Tick, and tells what
// happened through its signals; it never asks its owner anything.
#pragma once

#include <string>

#include <QObject>

#include "client/incoming_message.h"
#include "client/member_list.h"
#include "client/server_connection.h"

class CVoicePath;

class ChatSession : public QObject {
    Q_OBJECT
public:
    // The voice path is the owner's, and outlives the session.
    explicit ChatSession(CVoicePath& voice, QObject* parent = nullptr);

    // Starts connecting; returns at once. The session begins once the
    // connection is made (a later Tick sees to it), or connectFailed tells
    // why not. Does nothing while a session or an attempt is under way.
    void Login(const std::string& host, int port, const std::string& name);
    // Ends a connection attempt at once, or asks the server to log out
    // (after giving the floor back); the session ends with its reply.
    void RequestLogout();
    // Ends the session here and now, whatever the server says.
    void Close();
    // The window goes away: an attempt is given up, and neither the message
    // under assembly nor the member list is kept.
    void Abandon();
    // Ends an attempt at once; nothing is told about it but attemptChanged.
    void CancelConnect();

    // Sends one chat message; nothing outside a session or for empty text.
    void Post(const std::string& text);
    void StartSpeaking();
    void StopSpeaking();
    // Takes the floor or gives it back; nothing outside a session.
    void ToggleSpeaking();

    // Moves everything on without waiting: the attempt, the lines the
    // server sent, then the voice path; or tells that the connection broke.
    void Tick();

    bool IsLoggedIn() const { return loggedIn_; }
    bool IsConnecting() const { return connection_.IsConnecting(); }
    bool IsSpeaking() const;
    int OwnId() const { return ownId_; }
    int OwnVoicePass() const { return ownVoicePass_; }
    const MemberList& Members() const { return memberList_; }
    const IncomingMessage& Incoming() const { return connection_.Incoming(); }
    CServerConnection& Connection() { return connection_; }

    // Whether the next sessions ask for wideband voice (they do unless told
    // otherwise); without asking, a session keeps the classic voice against
    // any server.
    void SetAsksForWideband(bool on) { asksForWideband_ = on; }

signals:
    // An attempt started, or ended without a session.
    void attemptChanged();
    // The attempt ended without a connection; text tells the user why.
    void connectFailed(const std::string& text);
    // Connected, and the login, the list and the history requests are sent; the sound
    // devices open next, and only then is the session logged in.
    void sessionStarted();
    // The server took the login and gave this client its ID and VoicePass.
    void loggedIn(int id, int voicePass);
    // The member list (or who of them speaks) is no longer what was shown.
    void membersChanged();
    void memberJoined(int id, const std::string& name);
    void memberLeft(int id, const std::string& name);
    void messageReceived(int id, const std::string& name, const std::string& text);
    // The next count messages are what was said before this login.
    void historyAnnounced(int count);
    // The user took the floor (true) or gave it back.
    void speakingChanged(bool speaking);
    // The session has ended, for whatever reason; what follows tells why.
    void sessionClosed();
    void logoutSucceeded();
    void loginRefused(const std::string& text);
    void disconnectedByServer(const std::string& text);
    // Told while the session still stands; it is closed once the owner's
    // handling of this signal returns.
    void connectionLost(const std::string& text);

private:
    // The rest of Login, once the connection attempt has ended.
    void ContinueLogin();
    void BeginSession();
    void ApplyMessage();

    CVoicePath& voice_;
    CServerConnection connection_;
    MemberList memberList_;
    std::string name_;
    bool loggedIn_ = false;
    bool asksForWideband_ = true;
    bool tickGate_ = true;
    int ownId_ = 0;
    int ownVoicePass_ = 0;
};
