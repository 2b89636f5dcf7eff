// Playback of the frames that arrive from the server: they wait in a
// play-out buffer, and each call hands the sound device what is due. A
// device that was closed or opened anew since the last call starts the
// buffer afresh.
#pragma once

#include <cstdint>

#include "voice/playout_buffer.h"

class CWaveDevice;

class CPlaybackFeed {
public:
    using Clock = CPlayoutBuffer::Clock;

    // A frame that arrived at now (see CPlayoutBuffer::Add).
    void Add(const std::uint8_t* data, int bytes, Clock::time_point now);
    // Hands the device every frame that is due now (PlayFrame), and returns
    // how many of the frames that arrived it took (made-up ones not
    // counted). With no playback open the frames are forgotten.
    int Feed(CWaveDevice& device);
    // Forgets every waiting frame and what was measured (a new session).
    void Reset();

    const CPlayoutBuffer& Buffer() const { return buffer_; }

private:
    CPlayoutBuffer buffer_;
    // The device last fed, to notice a new session, and the frames added
    // since it was last fed.
    std::uint32_t deviceId_ = 0;
    int addedSinceFeed_ = 0;
};
