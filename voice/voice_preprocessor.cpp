#include "voice/voice_preprocessor.h"

#include <speex/speex_preprocess.h>

void CVoicePreprocessor::Deleter::operator()(SpeexPreprocessState_* state) const {
    speex_preprocess_state_destroy(state);
}

CVoicePreprocessor::CVoicePreprocessor() { Reset(); }
CVoicePreprocessor::~CVoicePreprocessor() = default;

void CVoicePreprocessor::Reset() {
    state_.reset(speex_preprocess_state_init(kFrameSamples, kRate));
    Apply();
}

void CVoicePreprocessor::SetNoiseSuppression(bool on) {
    denoise_ = on;
    Apply();
}

void CVoicePreprocessor::SetAutomaticGain(bool on) {
    agc_ = on;
    Apply();
}

void CVoicePreprocessor::Apply() {
    if (!state_) return;
    int denoise = denoise_ ? 1 : 0;
    int agc = agc_ ? 1 : 0;
    speex_preprocess_ctl(state_.get(), SPEEX_PREPROCESS_SET_DENOISE, &denoise);
    speex_preprocess_ctl(state_.get(), SPEEX_PREPROCESS_SET_AGC, &agc);
}

void CVoicePreprocessor::Process(std::int16_t* frame) {
    // With both off the frame is left exactly as captured, not taken
    // through the preprocessor's analysis and resynthesis.
    if (!state_ || (!denoise_ && !agc_)) return;
    speex_preprocess_run(state_.get(), frame);
}
