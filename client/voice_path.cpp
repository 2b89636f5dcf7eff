// The voice path between the connection and the sound device: frames the
// user speaks go out on each tick, frames the server mixed come in through
// ApplyMessage.
#include <array>
#include <string_view>

#include "client/chat_client_dlg.h"
#include "protocol/messages.h"
#include "protocol/voice_codec.h"

// Runs on each tick while the session's receive thread is alive, after the
// tick's lines. Voice goes out only while speaking and once the server's
// reply has given this client its ID. Every frame capture has completed
// goes out, oldest first, one message each: after a late tick the backlog
// leaves at once.
//
// While the user does not speak nothing is taken from capture: its ring
// fills and it stalls. The next press throws that away, so the first frame
// sent is one recorded after the press.
void CChatClientDlg::SendCapturedVoice() {
    if (!speaking_ || ownId_ == 0) return;
    std::array<std::uint8_t, protocol::kVoiceFrameLength> sendFrame;
    while (sound_.GetCapturedFrame(sendFrame.data()) == 1) {
        protocol::EncodeVoiceFrame(sendFrame.data(), voiceFrameLength_);
        voiceMessage_.clear();
        protocol::AppendVoiceData(
            voiceMessage_, std::string_view(reinterpret_cast<const char*>(sendFrame.data()),
                                            static_cast<std::size_t>(voiceFrameLength_)));
        // One send of all 143 bytes; its result is not examined (a broken
        // connection shows as the end of the receive thread).
        SendText(voiceMessage_);
        ++sentVoiceFrames_;
    }
}

// A whole voice frame from the server, still as its 128 payload characters:
// decoded in place into samples and handed to the play-out buffer, whether
// the user speaks or not; the buffer passes it on to playback when it is
// due (here or on a later tick). A frame that finds its playback slot still
// in use (or no playback open) is dropped and simply not heard.
void CChatClientDlg::PlayReceivedVoice(std::uint8_t* frame) {
    protocol::DecodeVoiceFrame(frame, voiceFrameLength_);
    ++receivedVoiceFrames_;
    playout_.Add(frame, voiceFrameLength_, CPlayoutBuffer::Clock::now());
    playedVoiceFrames_ += playout_.FeedDevice(sound_);
}
