// The voice path between the connection and the sound card: capture and
// play-out for one session, the frames the user speaks on their way out,
// the frames the server mixed on their way to the speaker, and the counts
// of both. No widget: the dialog tells it when the user takes and gives
// back the floor.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client/server_connection.h"
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
};
