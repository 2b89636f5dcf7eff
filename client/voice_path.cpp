// The voice path between the connection and the sound device: frames the
// user speaks go out on each tick, frames the server mixed come in through
// ApplyMessage.
#include "client/chat_client_dlg.h"
#include "protocol/voice_codec.h"

// Runs on each tick while the session's receive thread is alive, after the
// tick's lines. Voice goes out only while speaking and once the server's
// reply has given this client its ID. Frames come from sound capture; with no
// capture device attached to the dialog there are none to send.
void CChatClientDlg::SendCapturedVoice() {
    if (!speaking_ || ownId_ == 0) return;
}

// A whole voice frame from the server, still as its 128 payload characters:
// decoded in place into samples. With no playback device attached to the
// dialog the samples are dropped, as a frame that finds no free slot is.
void CChatClientDlg::PlayReceivedVoice(std::uint8_t* frame) {
    protocol::DecodeVoiceFrame(frame, voiceFrameLength_);
    ++receivedVoiceFrames_;
}
