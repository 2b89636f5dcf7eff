// The voice path between the connection and the sound card: capture and
// play-out for one session, the frames the user speaks on their way out,
// the frames the server mixed on their way to the speaker, and the counts
// of both. No widget: the dialog tells it when the user takes and gives
// back the floor.
#pragma once

#include <cstdint>
#include <string>

#include "client/server_connection.h"
#include "client/wave_device.h"
#include "protocol/voice_codec.h"

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

    // The user takes the floor: from now on captured frames go out.
    void StartSending();
    // The user gives the floor back.
    void StopSending();
    bool IsSending() const { return sending_; }

    // Every frame capture has completed, oldest first, one "Voice Data:"
    // message each, while sending and once the server has given this client
    // an ID (ownId not 0).
    void SendCapturedVoice(CServerConnection& connection, int ownId);
    // A whole frame from the server, still as its 128 payload characters:
    // decoded in place and handed to playback.
    void PlayReceivedVoice(std::uint8_t* frame);

    // Voice frames that arrived whole and went on to playback.
    int ReceivedVoiceFrames() const { return receivedVoiceFrames_; }
    // Of those, the frames playback took (the others found their slot in use
    // and were dropped).
    int PlayedVoiceFrames() const { return playedVoiceFrames_; }
    // Captured frames sent to the server as voice.
    int SentVoiceFrames() const { return sentVoiceFrames_; }
    const CWaveDevice& SoundDevice() const { return sound_; }

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
};
