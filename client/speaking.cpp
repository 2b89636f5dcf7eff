// The speak button: it toggles the floor, tells the server, and shows the
// state in its caption.
#include <QPushButton>

#include "client/chat_client_dlg.h"
#include "client/strings.h"
#include "protocol/messages.h"

namespace {

QString Caption(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void CChatClientDlg::OnSpeakButton() {
    // Only a session has a connection to tell.
    if (!loggedIn_) return;
    if (speaking_) {
        StopSpeaking();
    } else {
        StartSpeaking();
    }
}

void CChatClientDlg::StartSpeaking() {
    // Whatever capture recorded before the press is not the user's to send.
    if (!classicVoice_) sound_.DiscardCapturedFrames();
    speaking_ = true;
    speakButton_->setText(Caption(tessik::kSpeakActive));
    SendText(protocol::BuildVoiceStart());
}

void CChatClientDlg::StopSpeaking() {
    speaking_ = false;
    speakButton_->setText(Caption(tessik::kSpeakStopped));
    SendText(protocol::BuildVoiceStop());
}
