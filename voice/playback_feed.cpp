#include "voice/playback_feed.h"

#include "voice/wave_device.h"

void CPlaybackFeed::Add(const std::uint8_t* data, int bytes, Clock::time_point now) {
    buffer_.Add(data, bytes, now);
    if (addedSinceFeed_ < CPlayoutBuffer::kCapacity) ++addedSinceFeed_;
}

void CPlaybackFeed::Reset() {
    buffer_.Reset();
    addedSinceFeed_ = 0;
}

int CPlaybackFeed::Feed(CWaveDevice& device) {
    if (!device.IsPlaybackOpen()) {
        Reset();
        deviceId_ = 0;
        return 0;
    }
    const auto id = static_cast<std::uint32_t>(device.GetPlaybackDevice());
    if (id != deviceId_) {
        // Frames left from the last device are of another session; the
        // ones added since the last call arrived for this one.
        buffer_.KeepNewest(addedSinceFeed_);
        deviceId_ = id;
    }
    addedSinceFeed_ = 0;
    int queued = device.CountQueuedPlaybackBlocks();
    const Clock::time_point now = Clock::now();
    // The device's position is asked for only when there is a lead to note.
    if (buffer_.HasLeadToNote()) {
        buffer_.NoteLead(now, static_cast<double>(device.GetUnplayedBytes()) * CPlayoutBuffer::kFrameMs /
                                  CPlayoutBuffer::kFrameBytes);
    }
    int taken = 0;
    CPlayoutBuffer::Frame frame;
    bool madeUp = false;
    while (buffer_.TakeFrame(now, queued, &frame, &madeUp)) {
        // A frame the device refuses (its slot still in use) is dropped
        // there, under the device's own rules.
        if (device.PlayFrame(frame.data(), CPlayoutBuffer::kFrameBytes) == 1) {
            if (!madeUp) ++taken;
            ++queued;
        }
    }
    return taken;
}
