#include "client/voice_path.h"

#include <array>
#include <string_view>

#include "protocol/messages.h"
#include "protocol/wideband_messages.h"

void CVoicePath::Open() {
    wideband_ = false;
    incoming_ = Incoming::kStart;
    widebandLines_.clear();
    widebandVoice_.Reset();
    sound_.SetFormat(voice::kNarrowbandSound);
    sound_.OpenCapture(voiceFrameLength_);
    sound_.OpenPlayback(nullptr, 0, kPlaybackSlots);
}

void CVoicePath::Close() {
    sending_ = false;
    sound_.CloseCapture();
    sound_.ClosePlayback();
    // Frames still waiting belong to the session that ended.
    playback_.Reset();
    widebandVoice_.Reset();
    wideband_ = false;
    incoming_ = Incoming::kStart;
    widebandLines_.clear();
}

void CVoicePath::SwitchToWideband() {
    sound_.CloseCapture();
    sound_.ClosePlayback();
    playback_.Reset();
    widebandVoice_.Reset();
    sound_.SetFormat(voice::kWidebandSound);
    sound_.OpenCapture(CWidebandVoice::kFrameBytes);
    sound_.OpenPlayback(nullptr, 0, kPlaybackSlots);
    wideband_ = true;
}

bool CVoicePath::TakeServerLine(std::string_view line) {
    if (incoming_ == Incoming::kStart) {
        const protocol::WidebandMessage kind = protocol::ClassifyWidebandServerLine(line);
        incoming_ = kind == protocol::WidebandMessage::kNone ? Incoming::kClassic : Incoming::kWideband;
        widebandLines_.clear();
    }
    if (incoming_ != Incoming::kWideband) return false;
    // A message is one line, but a few more are kept for the answer's
    // fields; anything beyond is not of a message this client knows.
    if (widebandLines_.size() < 4) widebandLines_.emplace_back(line);
    return true;
}

bool CVoicePath::EndServerMessage() {
    const bool mine = incoming_ == Incoming::kWideband;
    incoming_ = Incoming::kStart;
    if (!mine || widebandLines_.empty()) return mine;
    const std::string& first = widebandLines_.front();
    switch (protocol::ClassifyWidebandServerLine(first)) {
        case protocol::WidebandMessage::kVoiceCodec: {
            std::vector<std::string_view> lines(widebandLines_.begin(), widebandLines_.end());
            if (!wideband_ && protocol::IsVoiceCodecAnswer(lines)) SwitchToWideband();
            break;
        }
        case protocol::WidebandMessage::kOpusData:
            // Before the answer nothing plays the packets.
            if (wideband_ && widebandLines_.size() == 1 &&
                widebandVoice_.Receive(std::string_view(first).substr(protocol::kOpusData.size()),
                                       CWidebandVoice::Clock::now())) {
                ++receivedVoiceFrames_;
                FeedPlayback();
            }
            break;
        case protocol::WidebandMessage::kNone: break;
    }
    widebandLines_.clear();
    return true;
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
    if (wideband_) {
        sentVoiceFrames_ += widebandVoice_.SendCaptured(sound_, connection);
        return;
    }
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

void CVoicePath::FeedPlayback() {
    playedVoiceFrames_ += wideband_ ? widebandVoice_.Feed(sound_) : playback_.Feed(sound_);
}

// Played whether the user speaks or not; the play-out buffer passes the
// frame on to playback when it is due (here or on a later tick). A frame
// that finds its playback slot still in use (or no playback open) is
// dropped and simply not heard.
void CVoicePath::PlayReceivedVoice(std::uint8_t* frame) {
    // A server that answered sends this connection wideband voice only; a
    // classic frame would not fit the card's format.
    if (wideband_) return;
    protocol::DecodeVoiceFrame(frame, voiceFrameLength_);
    ++receivedVoiceFrames_;
    playback_.Add(frame, voiceFrameLength_, CPlaybackFeed::Clock::now());
    FeedPlayback();
}
