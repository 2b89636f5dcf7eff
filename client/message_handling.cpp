// Server messages on the dialog's side: lines go into the incoming message,
// a complete message is applied to the controls, and the user's text is
// posted.
#include "client/chat_client_dlg.h"
#include "protocol/messages.h"

void CChatClientDlg::ParseLine(std::string_view line) { incomingMessage_.ParseLine(line); }

void CChatClientDlg::ResetMessage() { incomingMessage_.Reset(); }

void CChatClientDlg::ApplyMessage() {
    MessageOutcome outcome = incomingMessage_.Apply(memberList_);
    if (outcome.takeIdentity) {
        ownId_ = outcome.id;
        ownVoicePass_ = outcome.voicePass;
    }
    if (outcome.closeSession) CloseSession();
    if (outcome.membersChanged) RebuildMemberView();
    if (!outcome.logText.empty()) AppendToLog(outcome.logText);
    if (outcome.playVoice) PlayReceivedVoice(incomingMessage_.voiceFrame.data());
    // Told after the session is closed: the controls already show it.
    if (!outcome.notice.empty()) ShowMessage(outcome.notice);
}

void CChatClientDlg::PostText() {
    if (!loggedIn_) return;
    if (!ReadFields()) return;
    if (!postText_.empty()) SendText(protocol::BuildMessage(postText_));
    postText_.clear();
    ShowFields();
}
