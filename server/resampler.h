// Between today's voice (8,000 samples per second, 8-bit frames of 16 ms) and
// the wideband timeline (48,000 per second, 10 ms frames), over speexdsp's
// resampler. Frames of the two sides do not line up (16 ms against 10 ms),
// so each direction keeps what it has made but not yet handed out: every
// sample goes out once, in order, whatever the frame lengths.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/voice_codec.h"
#include "protocol/wideband_messages.h"

struct SpeexResamplerState_;

// A mono stream from one rate to another; samples full scale +-1.
class CResampler {
public:
    // quality 0 to 10, speexdsp's scale.
    CResampler(int inRate, int outRate, int quality);
    ~CResampler();
    CResampler(const CResampler&) = delete;
    CResampler& operator=(const CResampler&) = delete;

    bool IsOpen() const { return state_ != nullptr; }
    // Resamples n samples and keeps the result for Take.
    void Push(const float* in, int n);
    // Samples made and not yet taken.
    int Available() const { return static_cast<int>(out_.size() - read_); }
    // Takes the next n samples: false, taking nothing, when fewer are there.
    bool Take(float* out, int n);

private:
    struct Deleter {
        void operator()(SpeexResamplerState_* state) const;
    };
    std::unique_ptr<SpeexResamplerState_, Deleter> state_;
    std::vector<float> out_;
    std::size_t read_ = 0;
    std::vector<float> scratch_;
};

using WidebandFrame = std::array<float, protocol::kWidebandFrameSamples>;
using LegacyFrame = std::array<std::uint8_t, protocol::kVoiceFrameLength>;

// A legacy speaker's frames onto the wideband timeline: 128 unsigned 8-bit
// samples in, 480-sample frames out (8 frames in make 12.8 out).
class CLegacyUpsampler {
public:
    CLegacyUpsampler();
    void Put(const LegacyFrame& frame);
    bool TakeFrame(WidebandFrame& out) { return resampler_.Take(out.data(), protocol::kWidebandFrameSamples); }
    bool IsOpen() const { return resampler_.IsOpen(); }

private:
    CResampler resampler_;
};

// A wideband speaker's voice for today's mixer: 480-sample frames in,
// 128-sample unsigned 8-bit frames out (silence 128; 8 frames in make 5 out).
class CLegacyDownsampler {
public:
    CLegacyDownsampler();
    void Put(const WidebandFrame& frame);
    bool TakeFrame(LegacyFrame& out);
    bool IsOpen() const { return resampler_.IsOpen(); }

private:
    CResampler resampler_;
};
