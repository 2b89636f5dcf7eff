// The client's wideband voice, once the server has answered the request for
// it: captured 10 ms frames at 48,000 samples a second go through noise
// suppression and gain control and the Opus encoder, each packet out as one
// "Opus Data:" message numbered from 00000; received packets are checked by
// their numbers (a gap is filled with the codec's concealment, a late or
// repeated packet dropped), decoded and played through the wideband play-out
// buffer. The sound card is the voice path's, opened in the wideband format.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/server_connection.h"
#include "platform/sound.h"
#include "protocol/opus_codec.h"
#include "voice/voice_preprocessor.h"
#include "voice/wave_device.h"
#include "voice/wideband_playout.h"

class CWidebandVoice {
public:
    using Clock = CWidebandPlayout::Clock;
    static constexpr int kFrameBytes = CWidebandPlayout::kFrameBytes;
    // A longer run of missing packets is not made up: the codec's
    // concealment fades out by then anyway.
    static constexpr int kMaxConcealedPackets = 5;
    // A packet this far behind the last is taken for a stream that started
    // afresh, not for a late one.
    static constexpr int kRestartDistance = 1000;
    // The card takes its sound a step at a time (5 ms at 48 kHz, as the
    // platform opens it), up to a step before it is heard: a block handed on
    // must be there that much sooner. Half a step is counted off, and the
    // play-out buffer's safety margin covers the rest (a whole step would
    // hold 2.5 milliseconds more in every phase of the cards). A lead read
    // to the card's next take instead would be exact for gaps, but would
    // keep where each frame starts within a step as latency, which then
    // depends on the phase of the cards.
    static constexpr double kCardStepMs =
        platform::DeviceStepFrames(protocol::kWidebandRate) * 1000.0 / protocol::kWidebandRate / 2;

    CWidebandVoice();

    // A new session: sequence numbers from 00000, fresh codec states, an
    // empty play-out buffer. The preprocessor's settings stay.
    void Reset();

    void SetNoiseSuppression(bool on) { preprocessor_.SetNoiseSuppression(on); }
    void SetAutomaticGain(bool on) { preprocessor_.SetAutomaticGain(on); }
    bool NoiseSuppression() const { return preprocessor_.NoiseSuppression(); }
    bool AutomaticGain() const { return preprocessor_.AutomaticGain(); }

    // Every frame capture has completed, oldest first, one "Opus Data:"
    // message each. The number of messages sent.
    int SendCaptured(CWaveDevice& device, CServerConnection& connection);
    // The value of a received "Opus Data:" line. False when it was dropped
    // (malformed, refused by the decoder, late or repeated).
    bool Receive(std::string_view value, Clock::time_point now);
    // Hands the device every block that is due; the number of received
    // frames it took.
    int Feed(CWaveDevice& device);

    int NextSendSequence() const { return sendSequence_; }
    const CWidebandPlayout& Playout() const { return playout_; }

private:
    CVoicePreprocessor preprocessor_;
    std::unique_ptr<protocol::COpusEncoder> encoder_;
    std::unique_ptr<protocol::COpusDecoder> decoder_;
    CWidebandPlayout playout_;
    int sendSequence_ = 0;
    bool received_ = false;
    int lastReceived_ = 0;
    std::string message_;
};
