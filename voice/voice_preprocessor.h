// What the wideband send side does to the captured sound before encoding
// it: noise suppression and automatic gain, by speexdsp's preprocessor, each
// on unless turned off. 10 ms frames of 48,000 signed 16-bit samples a
// second, changed in place.
#pragma once

#include <cstdint>
#include <memory>

struct SpeexPreprocessState_;

class CVoicePreprocessor {
public:
    static constexpr int kFrameSamples = 480;
    static constexpr int kRate = 48000;

    CVoicePreprocessor();
    ~CVoicePreprocessor();
    CVoicePreprocessor(const CVoicePreprocessor&) = delete;
    CVoicePreprocessor& operator=(const CVoicePreprocessor&) = delete;

    void SetNoiseSuppression(bool on);
    void SetAutomaticGain(bool on);
    bool NoiseSuppression() const { return denoise_; }
    bool AutomaticGain() const { return agc_; }
    // Forgets the noise and the level learnt so far (a new session).
    void Reset();
    // One frame of kFrameSamples samples; untouched with both turned off.
    void Process(std::int16_t* frame);

private:
    void Apply();
    struct Deleter {
        void operator()(SpeexPreprocessState_* state) const;
    };
    std::unique_ptr<SpeexPreprocessState_, Deleter> state_;
    bool denoise_ = true;
    bool agc_ = true;
};
