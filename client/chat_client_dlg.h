// The main dialog of the client: the widgets, the fields, which controls are
// enabled, the routing of Enter, the message box and the context menu. What
// it shows comes from the session it owns, through the session's signals;
// the session and the voice path are moved on by a 10 ms timer, and by a
// tick at once whenever a message has arrived or capture has completed a
// frame, so that voice does not wait for the timer.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include <QDialog>
#include <QIcon>

#include "client/chat_session.h"
#include "client/hold_to_talk.h"
#include "client/message_log.h"
#include "client/reconnect_driver.h"
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

    explicit CChatClientDlg(QWidget* parent = nullptr);
    ~CChatClientDlg() override;

    // Reads the fields (telling what fails their checks), remembers them for
    // the next start and starts connecting; the session begins once the
    // connection is made.
    void Login();
    // Ends a connection attempt or reconnecting at once, or asks the server
    // to log out.
    void RequestLogout();
    // What a click on the speak button does: takes the floor or gives it back.
    void OnSpeakButton() { session_.ToggleSpeaking(); }
    // Keeps the classic voice even where the server offers wideband.
    void SetAsksForWideband(bool on) { session_.SetAsksForWideband(on); }
    // Fills host, name and port and logs in, as if the user had typed them.
    void LoginAs(const std::string& host, int port, const std::string& name);

    // Every message box of the client: exclamation icon, caption "Tessik",
    // OK; returns once the user has closed it.
    void ShowMessage(std::string_view text);
    // Replaces the message box by a function that gets the text (tests and
    // automation). An empty function restores the message box.
    using MessageHook = std::function<void(const std::string& text)>;
    void SetMessageHook(MessageHook hook);
    // The box that tells of a lost connection while the client tries to come
    // back: shown once the event that told it has been handled, and without
    // holding the window, so that the tries go on and logout stays at hand.
    void ShowNotice(std::string_view text);
    // Asks where, then writes the message log to a file (the right-click
    // menu's entry).
    void SaveLog();

    // ---- State, for tests and automation. ----
    ChatSession& Session() { return session_; }
    bool IsLoggedIn() const { return session_.IsLoggedIn(); }
    bool IsConnecting() const { return session_.IsConnecting(); }
    // Waiting for the next try to come back, or trying.
    bool IsReconnecting() const { return reconnect_->IsReconnecting(); }
    MessageLog& Log() { return *log_; }
    bool IsSpeaking() const { return session_.IsSpeaking(); }
    // The speak button has been held down long enough to count as a hold.
    bool IsSpeakHeld() const { return holdToTalk_->IsHeld(); }
    int OwnId() const { return session_.OwnId(); }
    int OwnVoicePass() const { return session_.OwnVoicePass(); }
    const MemberList& Members() const { return session_.Members(); }
    const IncomingMessage& Incoming() const { return session_.Incoming(); }
    int ReceivedVoiceFrames() const { return voice_.ReceivedVoiceFrames(); }
    int PlayedVoiceFrames() const { return voice_.PlayedVoiceFrames(); }
    int SentVoiceFrames() const { return voice_.SentVoiceFrames(); }
    const CWaveDevice& SoundDevice() const { return voice_.SoundDevice(); }
    const CPlayoutBuffer& Playout() const { return voice_.Playout(); }
    const CVoicePath& Voice() const { return voice_; }
    CServerConnection& Connection() { return session_.Connection(); }
    // The control with that id (1000 to 1010), or null.
    QWidget* Control(int id) const;

public slots:
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildControls();
    void InitDialog();
    void ConnectSession();
    void RouteEnter();
    void PostText();
    // Controls -> members, with the checks; false (after the check's message,
    // with the failing field focused and selected) when a check fails.
    bool ReadFields();
    // Members -> controls.
    void ShowFields();
    void UpdateButtons();
    // Which controls the user can use, for a session (or none); a
    // connection attempt counts as well.
    void EnableControls(bool session);
    // The controls as a session starts with it.
    void ShowSessionStarted();
    void RebuildMemberView();
    void ShowAboutBox();
    void TimerTick();

    // Asks for a tick as soon as the dialog's thread is free; called from
    // the receive thread and the sound thread. At most one such request
    // waits at a time.
    void RequestTick();

    // Before the parts whose threads call RequestTick, so that they are
    // gone (their threads joined) before these are.
    std::atomic<bool> tickRequested_{false};
    CVoicePath voice_;
    // After the voice path it drives.
    ChatSession session_{voice_};

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
    HoldToTalk* holdToTalk_ = nullptr;
    ReconnectDriver* reconnect_ = nullptr;
    MessageLog* log_ = nullptr;

    std::string host_;
    std::string name_;
    int port_ = 0;
    std::string postText_;
    QIcon icon_;
    QIcon memberIcon_;
    QIcon speakerIcon_;

    MessageHook messageHook_;
};
