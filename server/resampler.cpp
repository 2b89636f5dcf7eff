#include "server/resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kLegacyRate = 8000;
// speexdsp's 0-10 scale; 4 keeps aliasing from 48 kHz down to 8 kHz out of
// the voice band at a small cost.
constexpr int kQuality = 4;
constexpr float kEightBitScale = 128.0f;

}  // namespace

void CResampler::Deleter::operator()(SpeexResamplerState_* state) const { speex_resampler_destroy(state); }

CResampler::CResampler(int inRate, int outRate, int quality) {
    int error = RESAMPLER_ERR_SUCCESS;
    SpeexResamplerState* state = speex_resampler_init(1, static_cast<spx_uint32_t>(inRate),
                                                      static_cast<spx_uint32_t>(outRate), quality, &error);
    if (error == RESAMPLER_ERR_SUCCESS && state != nullptr) state_.reset(state);
}

CResampler::~CResampler() = default;

void CResampler::Push(const float* in, int n) {
    if (!state_ || n <= 0) return;
    spx_uint32_t inRate = 0, outRate = 0;
    speex_resampler_get_rate(state_.get(), &inRate, &outRate);
    // Room for all the output of this input; the loop still goes on should
    // the resampler take less input at once.
    scratch_.resize(static_cast<std::size_t>(n) * outRate / inRate + 64);
    int done = 0;
    while (done < n) {
        auto inLength = static_cast<spx_uint32_t>(n - done);
        auto outLength = static_cast<spx_uint32_t>(scratch_.size());
        speex_resampler_process_float(state_.get(), 0, in + done, &inLength, scratch_.data(), &outLength);
        out_.insert(out_.end(), scratch_.begin(), scratch_.begin() + outLength);
        done += static_cast<int>(inLength);
        if (inLength == 0 && outLength == 0) break;
    }
}

bool CResampler::Take(float* out, int n) {
    if (Available() < n) return false;
    std::copy_n(out_.begin() + static_cast<std::ptrdiff_t>(read_), n, out);
    read_ += static_cast<std::size_t>(n);
    // Move the rest to the front now and then, not on every take.
    if (read_ > out_.size() / 2) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    return true;
}

CLegacyUpsampler::CLegacyUpsampler() : resampler_(kLegacyRate, protocol::kWidebandRate, kQuality) {}

void CLegacyUpsampler::Put(const LegacyFrame& frame) {
    std::array<float, protocol::kVoiceFrameLength> samples;
    for (std::size_t i = 0; i < frame.size(); ++i) samples[i] = (frame[i] - protocol::kSilence) / kEightBitScale;
    resampler_.Push(samples.data(), static_cast<int>(samples.size()));
}

CLegacyDownsampler::CLegacyDownsampler() : resampler_(protocol::kWidebandRate, kLegacyRate, kQuality) {}

void CLegacyDownsampler::Put(const WidebandFrame& frame) {
    resampler_.Push(frame.data(), static_cast<int>(frame.size()));
}

bool CLegacyDownsampler::TakeFrame(LegacyFrame& out) {
    std::array<float, protocol::kVoiceFrameLength> samples;
    if (!resampler_.Take(samples.data(), static_cast<int>(samples.size()))) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        long value = std::lround(samples[i] * kEightBitScale) + protocol::kSilence;
        out[i] = static_cast<std::uint8_t>(std::clamp(value, 0L, 255L));
    }
    return true;
}
