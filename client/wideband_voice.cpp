#include "client/wideband_voice.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "protocol/voice_sequence.h"
#include "protocol/wideband_messages.h"

namespace {

using Frame = CWidebandPlayout::Frame;

void FromFloat(const float* pcm, Frame& frame) {
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const float v = std::clamp(pcm[i] * 32768.0f, -32768.0f, 32767.0f);
        frame[i] = static_cast<std::int16_t>(std::lrint(v));
    }
}

}  // namespace

CWidebandVoice::CWidebandVoice()
    : playout_([this](Frame& frame) {
          std::array<float, CWidebandPlayout::kFrameSamples> pcm;
          if (!decoder_ || !decoder_->Conceal(pcm.data())) return false;
          FromFloat(pcm.data(), frame);
          return true;
      }) {
    Reset();
}

void CWidebandVoice::Reset() {
    encoder_ = std::make_unique<protocol::COpusEncoder>();
    decoder_ = std::make_unique<protocol::COpusDecoder>();
    preprocessor_.Reset();
    playout_.Reset();
    sendSequence_ = 0;
    received_ = false;
    lastReceived_ = 0;
}

int CWidebandVoice::SendCaptured(CWaveDevice& device, CServerConnection& connection) {
    std::array<std::uint8_t, kFrameBytes> bytes;
    std::array<std::int16_t, CWidebandPlayout::kFrameSamples> samples;
    std::array<float, CWidebandPlayout::kFrameSamples> pcm;
    std::array<std::uint8_t, protocol::kOpusMaxEncodedBytes> packet;
    int sent = 0;
    while (device.GetCapturedFrame(bytes.data()) == 1) {
        // The device's samples are little-endian whatever this machine is.
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        preprocessor_.Process(samples.data());
        for (std::size_t i = 0; i < samples.size(); ++i) pcm[i] = static_cast<float>(samples[i]) / 32768.0f;
        const int n = encoder_->Encode(pcm.data(), packet.data());
        // A frame the encoder failed on leaves no number unused.
        if (n <= 0) continue;
        message_.clear();
        protocol::AppendOpusData(message_, sendSequence_,
                                 std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)));
        connection.Send(message_);
        sendSequence_ = protocol::NextSequence(sendSequence_);
        ++sent;
    }
    return sent;
}

bool CWidebandVoice::Receive(std::string_view value, Clock::time_point now) {
    protocol::OpusData data;
    if (!protocol::ParseOpusDataValue(value, data)) return false;
    int missing = 0;
    if (received_) {
        const int distance = protocol::SequenceDistance(lastReceived_, data.sequence);
        if (distance <= 0 && distance > -kRestartDistance) return false;
        if (distance > 0) missing = protocol::SequenceGap(lastReceived_, data.sequence);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.packet.data());
    std::array<float, CWidebandPlayout::kFrameSamples> pcm;
    // Concealment first, so that the decoder's stream runs in order; but
    // not for a packet it then refuses.
    if (protocol::OpusPacketSamples(std::span<const std::uint8_t>(bytes, data.packet.size())) !=
        CWidebandPlayout::kFrameSamples) {
        return false;
    }
    Frame frame;
    for (int k = 0; k < std::min(missing, kMaxConcealedPackets); ++k) {
        if (!decoder_->Conceal(pcm.data())) break;
        FromFloat(pcm.data(), frame);
        playout_.AddMadeUp(frame);
    }
    if (!decoder_->Decode(std::span<const std::uint8_t>(bytes, data.packet.size()), pcm.data())) return false;
    received_ = true;
    lastReceived_ = data.sequence;
    FromFloat(pcm.data(), frame);
    playout_.Add(frame, now);
    return true;
}

// What the device holds counts in whole frames' worth of sound (at least one
// while it has any), not in blocks: a block the play-out buffer cut short
// holds a millisecond or two, and two blocks of that would leave the card
// to run dry between two ticks while frames wait here.
int CWidebandVoice::Feed(CWaveDevice& device) {
    if (!device.IsPlaybackOpen()) return 0;
    std::uint64_t unplayed = device.GetUnplayedBytes();
    const auto framesHeld = [&] {
        return unplayed == 0 ? 0 : std::max(1, static_cast<int>(unplayed / kFrameBytes));
    };
    int queued = framesHeld();
    const Clock::time_point now = Clock::now();
    if (playout_.HasLeadToNote()) {
        const double unplayedMs = static_cast<double>(unplayed) / device.Format().BytesPerMs();
        playout_.NoteLead(now, std::max(0.0, unplayedMs - kCardStepMs));
    }
    int taken = 0;
    Frame frame;
    int samples = 0;
    bool madeUp = false;
    std::array<std::uint8_t, kFrameBytes> bytes;
    while (playout_.TakeBlock(now, queued, &frame, &samples, &madeUp)) {
        for (int i = 0; i < samples; ++i) {
            const auto v = static_cast<std::uint16_t>(frame[static_cast<std::size_t>(i)]);
            bytes[static_cast<std::size_t>(2 * i)] = static_cast<std::uint8_t>(v & 0xFF);
            bytes[static_cast<std::size_t>(2 * i + 1)] = static_cast<std::uint8_t>(v >> 8);
        }
        if (device.PlayFrame(bytes.data(), 2 * samples) == 1) {
            if (!madeUp) ++taken;
            unplayed += static_cast<std::uint64_t>(2 * samples);
            queued = framesHeld();
        }
    }
    return taken;
}
