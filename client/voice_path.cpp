#include "client/voice_path.h"

#include <array>
#include <string_view>

#include "protocol/messages.h"

void CVoicePath::Open() {
    sound_.OpenCapture(voiceFrameLength_);
    sound_.OpenPlayback(nullptr, 0, kPlaybackSlots);
}

void CVoicePath::Close() {
    sending_ = false;
    sound_.CloseCapture();
    sound_.ClosePlayback();
}

// While the user does not speak nothing is taken from capture: its ring
// fills and it stalls, so the first frames sent after the next press are the
// ones recorded just after the last stop (or just after login).
void CVoicePath::StartSending() { sending_ = true; }

void CVoicePath::StopSending() { sending_ = false; }

// Runs on each tick while the session's receive thread is alive, after the
// tick's lines. After a late tick the backlog leaves at once.
void CVoicePath::SendCapturedVoice(CServerConnection& connection, int ownId) {
    if (!sending_ || ownId == 0) return;
    std::array<std::uint8_t, protocol::kVoiceFrameLength> sendFrame;
    while (sound_.GetCapturedFrame(sendFrame.data()) == 1) {
        protocol::EncodeVoiceFrame(sendFrame.data(), voiceFrameLength_);
        voiceMessage_.clear();
        protocol::AppendVoiceData(
            voiceMessage_, std::string_view(reinterpret_cast<const char*>(sendFrame.data()),
                                            static_cast<std::size_t>(voiceFrameLength_)));
        // One send of all 143 bytes.
        connection.Send(voiceMessage_);
        ++sentVoiceFrames_;
    }
}

// Played whether the user speaks or not. A frame that finds its playback
// slot still in use (or no playback open) is dropped and simply not heard.
void CVoicePath::PlayReceivedVoice(std::uint8_t* frame) {
    protocol::DecodeVoiceFrame(frame, voiceFrameLength_);
    ++receivedVoiceFrames_;
    if (sound_.PlayFrame(frame, voiceFrameLength_) == 1) ++playedVoiceFrames_;
}
