// The main dialog of the client: the widgets, the fields, which controls are
// enabled, the routing of Enter and the speak button. What it shows comes
// from two parts it owns and drives from a 10 ms timer: the connection to
// the server (lines in, requests out, never blocking the window) and the
// voice path (capture out, mixed voice in). Neither knows the dialog; each
// can only ask it to tick at once, when a message has arrived or capture
// has completed a frame, so that voice does not wait for the timer.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include <QDialog>
#include <QIcon>

#include "client/incoming_message.h"
#include "client/member_list.h"
#include "client/server_connection.h"
#include "client/voice_path.h"

class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

class CChatClientDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTimerPeriodMs = 10;
    // Holding the speak button longer than this speaks only while it is held.
    static constexpr int kHoldToTalkMs = 300;

    explicit CChatClientDlg(QWidget* parent = nullptr);
    ~CChatClientDlg() override;

    // ---- Session (buttons, Enter routing, timer). ----
    // Starts connecting; the session begins once the connection is made
    // (the timer sees to it), or the failure is told.
    void Login();
    // Ends a connection attempt at once, or asks the server to log out.
    void RequestLogout();
    void CloseSession();
    void TimerTick();

    // ---- Server messages and posting. ----
    void ParseLine(std::string_view line);
    void ApplyMessage();
    void ResetMessage();
    void PostText();

    // ---- Speaking. ----
    // A click toggles the floor.
    void OnSpeakButton();
    void StartSpeaking();
    void StopSpeaking();

    // ---- Field exchange. ----
    // Controls -> members, with the checks; false (after the check's message,
    // with the failing field focused and selected) when a check fails.
    bool ReadFields();
    // Members -> controls.
    void ShowFields();

    // Every message box of the client: exclamation icon, caption "Tessik",
    // OK; returns once the user has closed it.
    void ShowMessage(std::string_view text);
    // Replaces the message box by a function that gets the text (tests and
    // automation). An empty function restores the message box.
    using MessageHook = std::function<void(const std::string& text)>;
    void SetMessageHook(MessageHook hook);

    // Opens the about box modally.
    void ShowAboutBox();
    // The dialog's context menu, holding the about box entry.
    QMenu* ContextMenu() const { return contextMenu_; }

    // ---- State, for tests and automation. ----
    bool IsLoggedIn() const { return loggedIn_; }
    bool IsConnecting() const { return connection_.IsConnecting(); }
    bool IsSpeaking() const { return voice_.IsSending(); }
    // The speak button has been held down long enough to count as a hold.
    bool IsSpeakHeld() const { return speakPressed_ && speakHeld_; }
    int OwnId() const { return ownId_; }
    int OwnVoicePass() const { return ownVoicePass_; }
    const MemberList& Members() const { return memberList_; }
    const IncomingMessage& Incoming() const { return connection_.Incoming(); }
    int ReceivedVoiceFrames() const { return voice_.ReceivedVoiceFrames(); }
    int PlayedVoiceFrames() const { return voice_.PlayedVoiceFrames(); }
    int SentVoiceFrames() const { return voice_.SentVoiceFrames(); }
    const CWaveDevice& SoundDevice() const { return voice_.SoundDevice(); }
    const CPlayoutBuffer& Playout() const { return voice_.Playout(); }
    CServerConnection& Connection() { return connection_; }
    // The control with that id (1000 to 1010), or null.
    QWidget* Control(int id) const;

    // Fills host, name and port and logs in, as if the user had typed them.
    void LoginAs(const std::string& host, int port, const std::string& name);

public slots:
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildControls();
    void InitDialog();
    void RouteEnter();
    void UpdateButtons();
    // Which controls the user can use, for a session (or none); a
    // connection attempt counts as well.
    void EnableControls(bool session);
    void RebuildMemberView();
    void AppendToLog(const std::string& text);
    // The rest of Login, once the connection attempt has ended.
    void ContinueLogin();
    void BeginSession();

    // The speak button pressed and released (mouse or Space).
    void OnSpeakPressed();
    void OnSpeakReleased();
    void ForgetSpeakPress();
    void WatchSpeakButton(QEvent* event);

    // Asks for a tick as soon as the dialog's thread is free; called from
    // the receive thread and the sound thread. At most one such request
    // waits at a time.
    void RequestTick();

    // Before the parts whose threads call RequestTick, so that they are
    // gone (their threads joined) before these are.
    std::atomic<bool> tickRequested_{false};
    CServerConnection connection_;
    CVoicePath voice_;

    QLineEdit* hostEdit_ = nullptr;
    QLineEdit* nameEdit_ = nullptr;
    QLineEdit* portEdit_ = nullptr;
    QLineEdit* postEdit_ = nullptr;
    QPlainTextEdit* messageLog_ = nullptr;
    QPushButton* postButton_ = nullptr;
    QPushButton* speakButton_ = nullptr;
    QPushButton* logoutButton_ = nullptr;
    QPushButton* loginButton_ = nullptr;
    QListWidget* memberView_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QTimer* timer_ = nullptr;
    QTimer* holdTimer_ = nullptr;

    std::string host_;
    std::string name_;
    int port_ = 0;
    std::string postText_;
    QIcon icon_;
    QIcon memberIcon_;
    QIcon speakerIcon_;
    bool loggedIn_ = false;
    bool tickGate_ = true;
    int ownId_ = 0;
    int ownVoicePass_ = 0;
    MemberList memberList_;
    // The speak button is down; it has been down past the hold time; the
    // press is what started speaking.
    bool speakPressed_ = false;
    bool speakHeld_ = false;
    bool pressStartedSpeaking_ = false;
    // The pointer was off the button at the press's last move or release.
    bool speakLeftButton_ = false;

    MessageHook messageHook_;
};
