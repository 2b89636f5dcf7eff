// The main dialog of the client. It owns everything: the connection, the
// receive thread and its buffer, the sound device, the member list and the
// message log. Every handler runs on the dialog's thread; the receive thread
// only reads the connection and fills the receive buffer, which a 10 ms
// timer drains (and, while the user speaks, empties capture of its frames).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <QDialog>
#include <QIcon>

#include "client/incoming_message.h"
#include "client/member_list.h"
#include "client/playout_buffer.h"
#include "client/wave_device.h"
#include "common/net_socket.h"
#include "common/thread_communication_buffer.h"
#include "platform/net.h"
#include "platform/thread.h"

class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

// What receive_thread works with; a member of the dialog, filled by Login.
struct ReceiveThreadArgs {
    CNetSocket* socket = nullptr;
    CThreadCommunicationBuffer<std::string>* buffer = nullptr;
    // Set when the dialog no longer wants the lines (session closed or dialog
    // going away): a thread waiting for room in a full buffer gives up.
    std::atomic<bool> stop{false};
};

// Reads lines from the connection into the buffer until the connection ends.
std::uint32_t receive_thread(void* argument);

class CChatClientDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kReceiveBufferSlots = 30;
    static constexpr int kTimerPeriodMs = 10;

    explicit CChatClientDlg(QWidget* parent = nullptr);
    ~CChatClientDlg() override;

    // ---- Session (buttons, Enter routing, timer). ----
    void Login();
    void RequestLogout();
    void CloseSession();
    void TimerTick();

    // ---- Server messages and posting. ----
    void ParseLine(std::string_view line);
    void ApplyMessage();
    void ResetMessage();
    void PostText();

    // ---- Speaking. ----
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
    bool IsSpeaking() const { return speaking_; }
    int OwnId() const { return ownId_; }
    int OwnVoicePass() const { return ownVoicePass_; }
    const MemberList& Members() const { return memberList_; }
    const IncomingMessage& Incoming() const { return incomingMessage_; }
    // Voice frames that arrived whole and went on to playback.
    int ReceivedVoiceFrames() const { return receivedVoiceFrames_; }
    // Of those, the frames playback took (the others found their slot in
    // use and were dropped).
    int PlayedVoiceFrames() const { return playedVoiceFrames_; }
    // Captured frames sent to the server as voice.
    int SentVoiceFrames() const { return sentVoiceFrames_; }
    // Capture and playback.
    const CWaveDevice& SoundDevice() const { return sound_; }
    const CPlayoutBuffer& Playout() const { return playout_; }
    // The voice path as it was before a press discarded what capture held
    // and before the play-out buffer: only for measuring the two side by side.
    void SetClassicVoice(bool classic) {
        classicVoice_ = classic;
        playout_.SetPassThrough(classic);
    }
    // The control with that id (1000 to 1010), or null.
    QWidget* Control(int id) const;

    // Fills host, name and port and logs in, as if the user had typed them.
    void LoginAs(const std::string& host, int port, const std::string& name);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildControls();
    void InitDialog();
    void RouteEnter();
    void UpdateButtons();
    void RebuildMemberView();
    void AppendToLog(const std::string& text);
    void SendText(std::string_view bytes);
    // Stops the receive thread of the last session (if any) and waits for it,
    // so that nothing else is using the receive buffer or the line buffer.
    void FinishReceiveThread();

    // The voice path: frames between the connection and the sound device.
    void SendCapturedVoice();
    void PlayReceivedVoice(std::uint8_t* frame);

    platform::SockAddrIn serverAddress_{};
    CNetSocket connection_;
    CThreadCommunicationBuffer<std::string> receiveBuffer_{kReceiveBufferSlots};
    ReceiveThreadArgs threadArgs_;
    platform::Thread receiveThread_;
    int voiceFrameLength_ = protocol::kVoiceFrameLength;

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

    std::string host_;
    std::string name_;
    int port_ = 0;
    std::string postText_;
    QIcon icon_;
    QIcon memberIcon_;
    QIcon speakerIcon_;
    bool loggedIn_ = false;
    bool speaking_ = false;
    bool tickGate_ = true;
    IncomingMessage incomingMessage_;
    int ownId_ = 0;
    int ownVoicePass_ = 0;
    MemberList memberList_;
    int receivedVoiceFrames_ = 0;
    int playedVoiceFrames_ = 0;
    int sentVoiceFrames_ = 0;
    // One "Voice Data:" message, reused for every frame sent.
    std::string voiceMessage_;
    // Opened at login, closed when the session ends; destruction closes
    // whatever is still open.
    CWaveDevice sound_;
    // Received frames wait here until the device is due to play them.
    CPlayoutBuffer playout_;
    bool classicVoice_ = false;

    MessageHook messageHook_;
};
