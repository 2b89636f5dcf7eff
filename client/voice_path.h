// The voice path between the connection and the sound card: capture and
// play-out for one session, the frames the user speaks on their way out,
// the frames the server mixed on their way to the speaker, and the counts
// of both. No widget: the dialog tells it when the user takes and gives
// back the floor.
//
// Each session starts with the classic 8 kHz voice. The session asks the
// server for wideband voice; once the server's answer has come (Tick lines
// go through TakeServerLine), the sound card opens anew at 48 kHz and both
// directions are wideband for the rest of the session (CWidebandVoice). A
// server that never answers keeps the classic voice throughout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/server_connection.h"
#include "client/wideband_voice.h"
#include "protocol/voice_codec.h"
#include "voice/playback_feed.h"
#include "voice/playout_buffer.h"
#include "voice/wave_device.h"

class CVoicePath {
public:
    // Frames playback can hold before it drops: 640 ms.
    static constexpr int kPlaybackSlots = 40;

    CVoicePath() = default;
    CVoicePath(const CVoicePath&) = delete;
    CVoicePath& operator=(const CVoicePath&) = delete;

    // At login: capture records from now on in frames of the voice frame
    // length (a ring of 8) and stalls once the ring is full; playback starts
    // with an empty block in slot 0. Neither result matters: a client
    // without sound still chats.
    void Open();
    // At the session's end, whatever ended it.
    void Close();
    // Called on the sound thread whenever capture completes a frame, so that
    // it can be sent at once rather than on the next tick (see
    // CWaveDevice::SetCaptureNotifier). Set while closed.
    void SetCaptureNotifier(std::function<void()> notify) { sound_.SetCaptureNotifier(std::move(notify)); }

    // The user takes the floor: from now on captured frames go out, the
    // first of them recorded after this call.
    void StartSending();
    // The user gives the floor back.
    void StopSending();
    bool IsSending() const { return sending_; }

    // On each tick of a live session, after the tick's lines: sends what
    // capture completed and hands playback what is due.
    void Tick(CServerConnection& connection, int ownId);
    // Every frame capture has completed, oldest first, one "Voice Data:"
    // message each, while sending and once the server has given this client
    // an ID (ownId not 0).
    void SendCapturedVoice(CServerConnection& connection, int ownId);
    // Hands playback every frame the play-out buffer holds that is due.
    void FeedPlayback();
    // A whole frame from the server, still as its 128 payload characters:
    // decoded in place and handed to the play-out buffer.
    void PlayReceivedVoice(std::uint8_t* frame);

    // A line of a server message, before the message handling sees it: true
    // when it belongs to a wideband message (the answer to the request, or
    // an "Opus Data:" packet), which is then handled here.
    bool TakeServerLine(std::string_view line);
    // The empty line that ends a message: true when it ended a wideband
    // message (the message handling has nothing to do with it).
    bool EndServerMessage();
    // Wideband voice in use: the server has answered this session.
    bool IsWideband() const { return wideband_; }
    // The send side's noise suppression and gain control (on by default).
    void SetNoiseSuppression(bool on) { widebandVoice_.SetNoiseSuppression(on); }
    void SetAutomaticGain(bool on) { widebandVoice_.SetAutomaticGain(on); }
    bool NoiseSuppression() const { return widebandVoice_.NoiseSuppression(); }
    bool AutomaticGain() const { return widebandVoice_.AutomaticGain(); }
    const CWidebandVoice& Wideband() const { return widebandVoice_; }

    // Voice frames that arrived whole and went on to the play-out buffer.
    int ReceivedVoiceFrames() const { return receivedVoiceFrames_; }
    // Of those, the frames playback took so far (the others still wait in
    // the play-out buffer, were dropped there to bring latency down, or
    // found their playback slot in use).
    int PlayedVoiceFrames() const { return playedVoiceFrames_; }
    // Captured frames sent to the server as voice.
    int SentVoiceFrames() const { return sentVoiceFrames_; }
    const CWaveDevice& SoundDevice() const { return sound_; }
    const CPlayoutBuffer& Playout() const { return playback_.Buffer(); }

private:
    // The answer has come: the sound card reopens in the wideband format.
    void SwitchToWideband();

    int voiceFrameLength_ = protocol::kVoiceFrameLength;
    bool sending_ = false;
    int receivedVoiceFrames_ = 0;
    int playedVoiceFrames_ = 0;
    int sentVoiceFrames_ = 0;
    // One "Voice Data:" message, reused for every frame sent.
    std::string voiceMessage_;
    // Opened at login, closed when the session ends; destruction closes
    // whatever is still open.
    CWaveDevice sound_;
    // Received frames wait here until the device is due to play them.
    CPlaybackFeed playback_;
    CWidebandVoice widebandVoice_;
    bool wideband_ = false;
    // Where the message under assembly stands: none of its lines seen yet,
    // a message for the message handling, or a wideband one (kept whole
    // until its end, for the answer's fields).
    enum class Incoming { kStart, kClassic, kWideband };
    Incoming incoming_ = Incoming::kStart;
    std::vector<std::string> widebandLines_;
};
