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
    // Frames still waiting belong to the session that ended.
    playback_.Reset();
}

// While the user does not speak nothing is taken from capture: its ring
// fills and it stalls. The press throws that away, so the first frame sent
// is one recorded after the press.
void CVoicePath::StartSending() {
    sound_.DiscardCapturedFrames();
    sending_ = true;
}

void CVoicePath::StopSending() { sending_ = false; }

void CVoicePath::Tick(CServerConnection& connection, int ownId) {
    SendCapturedVoice(connection, ownId);
    // A frame that waited out the buffer's start is played even when no new
    // frame arrives on this tick.
    FeedPlayback();
}

// After a late tick the backlog leaves at once.
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

void CVoicePath::FeedPlayback() { playedVoiceFrames_ += playback_.Feed(sound_); }

// Played whether the user speaks or not; the play-out buffer passes the
// frame on to playback when it is due (here or on a later tick). A frame
// that finds its playback slot still in use (or no playback open) is
// dropped and simply not heard.
void CVoicePath::PlayReceivedVoice(std::uint8_t* frame) {
    protocol::DecodeVoiceFrame(frame, voiceFrameLength_);
    ++receivedVoiceFrames_;
    playback_.Add(frame, voiceFrameLength_, CPlaybackFeed::Clock::now());
    FeedPlayback();
}
