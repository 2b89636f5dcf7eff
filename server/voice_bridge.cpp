#include "server/voice_bridge.h"

#include <algorithm>

void CVoiceBridge::AddLegacySpeaker(int id) {
    mixer_.AddPcmSpeaker(id);
    if (std::any_of(legacy_.begin(), legacy_.end(), [id](const Legacy& l) { return l.id == id; })) return;
    legacy_.push_back({id, std::make_unique<CLegacyUpsampler>()});
}

void CVoiceBridge::AddWidebandSpeaker(int id) {
    mixer_.AddOpusSpeaker(id);
    if (std::any_of(wideband_.begin(), wideband_.end(), [id](const Wideband& w) { return w.id == id; })) return;
    wideband_.push_back({id, std::make_unique<CLegacyDownsampler>()});
}

void CVoiceBridge::RemoveSpeaker(int id) {
    mixer_.RemoveSpeaker(id);
    std::erase_if(legacy_, [id](const Legacy& l) { return l.id == id; });
    std::erase_if(wideband_, [id](const Wideband& w) { return w.id == id; });
}

bool CVoiceBridge::PutLegacyFrame(int id, const LegacyFrame& frame, std::int64_t nowUs) {
    auto it = std::find_if(legacy_.begin(), legacy_.end(), [id](const Legacy& l) { return l.id == id; });
    if (it == legacy_.end()) return false;
    it->up->Put(frame);
    while (it->up->TakeFrame(frame_)) mixer_.PutPcm(id, frame_, nowUs);
    return true;
}

void CVoiceBridge::RestartCarry() {
    for (Wideband& w : wideband_) w.down = std::make_unique<CLegacyDownsampler>();
}

const std::vector<std::pair<int, LegacyFrame>>& CVoiceBridge::CarryRound() {
    carried_.clear();
    LegacyFrame out;
    for (Wideband& w : wideband_) {
        const WidebandFrame* voice = mixer_.Voice(w.id);
        if (!voice) continue;
        w.down->Put(*voice);
        while (w.down->TakeFrame(out)) carried_.emplace_back(w.id, out);
    }
    return carried_;
}
