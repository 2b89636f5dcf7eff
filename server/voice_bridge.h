// Carries voices between today's mixer (8 kHz, 16 ms frames) and the
// wideband one (48 kHz, 10 ms rounds), so that each kind of listener hears
// both kinds of speaker: a legacy speaker's frames enter the wideband mix
// resampled up, and what a wideband speaker puts into each wideband round
// comes out resampled down, as frames for today's mixer under its ID. Each
// speaker keeps its own resampler, so its stream stays continuous.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "server/resampler.h"
#include "server/wideband_mixer.h"

class CVoiceBridge {
public:
    explicit CVoiceBridge(CWidebandMixer& mixer) : mixer_(mixer) {}

    // A legacy member starts speaking: it also speaks in the wideband mix.
    void AddLegacySpeaker(int id);
    // A wideband member starts speaking (today's mixer needs it added as a
    // member too, by the caller).
    void AddWidebandSpeaker(int id);
    // Out of the wideband mix and the bridge, whichever kind it was.
    void RemoveSpeaker(int id);

    // A legacy speaker's decoded frame (the caller gives it to today's
    // mixer as ever): resampled into the wideband mix. False when the ID is
    // not a legacy speaker here.
    bool PutLegacyFrame(int id, const LegacyFrame& frame, std::int64_t nowUs);
    // Call after every wideband round: the frames that round completed for
    // today's mixer, (ID, frame) in speaking order. Valid until the next call.
    const std::vector<std::pair<int, LegacyFrame>>& CarryRound();
    // Rounds stop being carried for a while: every wideband speaker's
    // resampler starts afresh, as if it had just begun to speak.
    void RestartCarry();

private:
    struct Legacy {
        int id = 0;
        std::unique_ptr<CLegacyUpsampler> up;
    };
    struct Wideband {
        int id = 0;
        std::unique_ptr<CLegacyDownsampler> down;
    };

    CWidebandMixer& mixer_;
    std::vector<Legacy> legacy_;
    std::vector<Wideband> wideband_;
    std::vector<std::pair<int, LegacyFrame>> carried_;
    WidebandFrame frame_{};
};
