// The benches' sound cards: SDL's disk driver with each step held to a
// steady clock, as a card's crystal holds it, or (steady false) with the
// driver keeping time itself, a sleep after each step, which runs slow and
// wanders with how late the machine's sleeps wake. Set before any device
// opens.
#pragma once

#include <QtGlobal>

#include "platform/sound.h"

inline void UseDiskCards(bool steady = true) {
    qputenv("SDL_AUDIODRIVER", "disk");
    if (steady) {
        // The driver looks in every millisecond; the clock says when a step is due.
        qputenv("SDL_DISKAUDIODELAY", "1");
        qputenv(platform::kSteadyDiskSoundVariable, "1");
    } else {
        qunsetenv("SDL_DISKAUDIODELAY");
        qunsetenv(platform::kSteadyDiskSoundVariable);
    }
}
