// A session with the server: logging in, the receive thread, the 10 ms tick
// that drains its lines, logging out and ending the session.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <array>

#include "client/chat_client_dlg.h"
#include "client/strings.h"
#include "protocol/messages.h"

namespace {

constexpr int kMaxLineLength = 9999;
// How long a receive thread waits for room in a full buffer before it looks
// whether the dialog still wants its lines.
constexpr int kStopPollMs = 50;
// The thread lingers this long after the connection ends, so that the ticks
// handle its last lines before its end is noticed.
constexpr int kLingerMs = 50;
// Frames playback can hold before it drops: 640 ms.
constexpr int kPlaybackSlots = 40;

}  // namespace

std::uint32_t receive_thread(void* argument) {
    auto* args = static_cast<ReceiveThreadArgs*>(argument);
    std::array<char, kMaxLineLength + 1> line;
    for (;;) {
        int length = args->socket->ReceiveLine(line.data(), kMaxLineLength);
        if (length < 0) break;
        std::string text(line.data());
        while (!args->buffer->SendWithin(text, kStopPollMs)) {
            if (args->stop.load()) return 0;
        }
    }
    if (!args->stop.load()) platform::SleepMs(kLingerMs);
    return 0;
}

void CChatClientDlg::FinishReceiveThread() {
    threadArgs_.stop.store(true);
    receiveThread_.Join();
}

void CChatClientDlg::Login() {
    if (loggedIn_) return;
    ownId_ = 0;
    ownVoicePass_ = 0;
    if (!ReadFields()) return;

    std::uint32_t address = 0;
    if (!platform::ResolveHost(host_, &address)) {
        ShowMessage(tessik::kHostNotFound);
        return;
    }

    // The last session's thread has seen its socket closed; wait for it to be
    // gone before its socket, line buffer and receive buffer are renewed.
    FinishReceiveThread();
    // A new socket starts with an empty line buffer: bytes of a line that the
    // last connection left unfinished do not stand before the new lines.
    connection_.Create(platform::kAfInet, platform::kSockStream, 0);

    serverAddress_ = platform::SockAddrIn{};
    serverAddress_.family = platform::kAfInet;
    serverAddress_.address = address;
    serverAddress_.port = platform::HostToNetShort(static_cast<std::uint16_t>(port_));
    if (connection_.Connect(serverAddress_) != 0) {
        connection_.Close();
        ShowMessage(tessik::kConnectFailed);
        return;
    }

    // Nothing of the last session carries over: neither its unread lines nor
    // a message it left half assembled.
    receiveBuffer_.Reset();
    ResetMessage();
    threadArgs_.socket = &connection_;
    threadArgs_.buffer = &receiveBuffer_;
    threadArgs_.stop.store(false);
    receiveThread_ = platform::Thread::Start(&receive_thread, &threadArgs_);
    if (!receiveThread_.IsValid()) {
        // Without a reader no reply could be seen: treat it as no connection.
        connection_.Close();
        ShowMessage(tessik::kConnectFailed);
        return;
    }

    SendText(protocol::BuildLogin(name_));
    SendText(protocol::BuildWhoAreLogin());

    memberView_->clear();
    postText_.clear();
    ShowFields();

    loginButton_->setEnabled(false);
    logoutButton_->setEnabled(true);
    speakButton_->setEnabled(true);
    postButton_->setEnabled(true);
    postEdit_->setFocus(Qt::OtherFocusReason);

    // Capture records from now on in frames of the voice frame length (a
    // ring of 8) and stalls once the ring is full; playback starts with an
    // empty block in slot 0 and has 40 slots. Neither result matters: a
    // client without sound still chats.
    sound_.OpenCapture(voiceFrameLength_);
    sound_.OpenPlayback(nullptr, 0, kPlaybackSlots);

    loggedIn_ = true;
}

void CChatClientDlg::RequestLogout() {
    // Only a session has a connection to send on.
    if (!loggedIn_) return;
    if (speaking_) StopSpeaking();
    SendText(protocol::BuildLogout());
}

void CChatClientDlg::CloseSession() {
    if (!loggedIn_) return;
    StopSpeaking();

    sound_.CloseCapture();
    sound_.ClosePlayback();

    // The receive thread's read fails at once and the thread ends; it is
    // joined before anything it uses is renewed or released.
    threadArgs_.stop.store(true);
    connection_.Close();

    memberList_.Clear();
    memberView_->clear();
    ownId_ = 0;
    ownVoicePass_ = 0;
    loggedIn_ = false;
    UpdateButtons();
}

void CChatClientDlg::TimerTick() {
    // A message box opened by this tick runs its own event loop; ticks that
    // arrive meanwhile return here, and this one goes on once it is closed.
    if (!tickGate_) return;
    tickGate_ = false;
    if (loggedIn_) {
        // Whatever the thread posted before it ended is handled first, so a
        // late tick loses neither the last lines nor the server's own
        // announcement of the end.
        bool threadEnded = receiveThread_.ExitCode() != platform::kStillActive;
        std::string line;
        while (receiveBuffer_.Receive(line, 0)) {
            if (!line.empty()) {
                ParseLine(line);
            } else {
                ApplyMessage();
                ResetMessage();
            }
        }
        if (!threadEnded) {
            SendCapturedVoice();
            playedVoiceFrames_ += playout_.FeedDevice(sound_);
        } else if (loggedIn_) {
            ShowMessage(tessik::kConnectionLost);
            CloseSession();
        }
    }
    tickGate_ = true;
}
