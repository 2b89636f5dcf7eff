// The client's sound card: capture records the default input into a ring of
// buffers that the owner polls, playback queues each received frame into
// the next slot of a ring at the default output.
//
// Format both ways: PCM, mono, 8000 samples per second, unsigned 8-bit
// (silence 128), unless another format is set while both halves are closed
// (wideband voice: 48,000 samples per second, signed 16-bit). Every operation runs on the owner's thread (the dialog);
// the device's callbacks only report, and the sound thread writes a
// header's byte count and flags, which are atomic.
//
// Use: OpenCapture(128) and OpenPlayback(nullptr, 0, 40) once per session;
// GetCapturedFrame(frame) until it returns 0 on every tick while speaking;
// PlayFrame(frame, 128) for every received frame; CloseCapture() and
// ClosePlayback() at the end of the session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/sound.h"
#include "voice/sound_format.h"

class CWaveDevice {
public:
    // Capture: 128 ms of ring (1024 bytes at 8000 8-bit samples a second),
    // in buffers of the size asked for.
    static constexpr int kCaptureRingMs = 128;
    static constexpr int kMinCaptureBytes = 32;
    // Larger buffers are refused: one would hold minutes of sound.
    static constexpr int kMaxCaptureBytes = 1 << 20;
    // Playback: bounds the memory and the delay that playback can build up.
    static constexpr int kMaxPlaybackSlots = 64;

    CWaveDevice() = default;
    CWaveDevice(const CWaveDevice&) = delete;
    CWaveDevice& operator=(const CWaveDevice&) = delete;
    // Closes a device that is still open (stop, reset, close), then
    // releases the buffers of both halves.
    ~CWaveDevice();

    // Called on the sound thread each time capture completes a buffer, so
    // that the owner can take it at once instead of polling for it. The
    // device is locked then: the notifier must only hand the news on (post
    // an event), never call into this object. Set it while capture is
    // closed; may be empty.
    void SetCaptureNotifier(std::function<void()> notify) {
        if (!captureOpen_) captureNotifier_ = std::move(notify);
    }

    // The format of both halves; changed only while both are closed.
    void SetFormat(const voice::SoundFormat& format) {
        if (!captureOpen_ && !playbackOpen_) format_ = format;
    }
    const voice::SoundFormat& Format() const { return format_; }

    // 1 when the input device records with every buffer queued, else 0.
    // 0 without a change for bufferBytes below 32 (or above the maximum)
    // and while capture is open; shows "Open error" when the device cannot
    // be opened, "AddBufferError i=<i>" (with "UNPREPARED" behind it when
    // the buffer was not prepared) when buffer i cannot be queued.
    int OpenCapture(int bufferBytes);
    // Copies the oldest complete buffer (capture size bytes) into frame and
    // queues it again: 1, or 0 when none is complete or capture is closed.
    int GetCapturedFrame(std::uint8_t* frame);
    // Stops, resets and closes the input device, then releases the ring: 1,
    // or 0 (nothing changed) when the device could not be stopped or closed.
    int CloseCapture();
    void FreeCaptureBuffers();
    // Throws away everything capture recorded up to now, so that the next
    // frame handed out starts after this call: every complete buffer is
    // queued again unread, and a buffer the device is part way through is
    // dropped once it completes. The number of complete buffers thrown
    // away; 0 when capture is not open.
    int DiscardCapturedFrames();

    // Opens the output device with slotCount slots (at most 64) and queues
    // the initial block (initialData may be null when initialBytes is 0) in
    // slot 0: 1, or 0. 0 without a change while open or for slotCount below
    // 1; 0 silently when the device cannot be opened.
    int OpenPlayback(const std::uint8_t* initialData, int initialBytes, int slotCount);
    // Queues a copy of the frame in the slot at the position: 1, or 0 when
    // that slot is still in use (the frame is dropped) or playback is closed.
    int PlayFrame(const std::uint8_t* data, int bytes);
    // Resets and closes the output device, then releases the slots: 1, or 0
    // (nothing changed) when the device could not be reset or closed.
    int ClosePlayback();
    void FreePlaybackBuffers();

    // State, for the owner and for tests.
    bool IsCaptureOpen() const { return captureOpen_ != 0; }
    int GetCaptureCount() const { return captureCount_; }
    int GetCaptureSize() const { return captureSize_; }
    int GetCapturePosition() const { return capturePosition_; }
    // Buffers the device has filled and nobody has taken yet.
    int CountCompleteCaptureBuffers() const;
    // Bytes the input device has taken in since recording started, whether
    // a buffer was free for them or not; 0 when capture is not recording.
    std::uint64_t GetRecordedBytes() const;
    platform::HWAVEIN GetCaptureDevice() const { return captureDevice_; }

    bool IsPlaybackOpen() const { return playbackOpen_ != 0; }
    int GetPlaybackSlotCount() const { return playbackSlotCount_; }
    int GetPlaybackPosition() const { return playbackPosition_; }
    // A slot is free when its flags are 0 or done alone.
    bool IsPlaybackSlotFree(int slot) const;
    // Blocks written to the device that it has not finished playing.
    int CountQueuedPlaybackBlocks() const;
    // Bytes of written blocks the output device has played since it opened
    // (silence in between not counted); 0 when playback is not open.
    std::uint64_t GetPlayedBytes() const;
    // Bytes written to the device that have not been heard yet: how long
    // (at the format's bytes a millisecond) before a frame written now begins.
    std::uint64_t GetUnplayedBytes() const;
    platform::HWAVEOUT GetPlaybackDevice() const { return playbackDevice_; }

private:
    // Takes the complete buffer at the position (copied into frame unless
    // frame is null) and queues it again; false when it is not complete.
    bool TakeCaptureBuffer(std::uint8_t* frame);
    static void CaptureCallback(platform::HWAVEIN device, std::uint32_t message,
                                std::uintptr_t instance, std::uintptr_t param1,
                                std::uintptr_t param2);
    static void PlaybackCallback(platform::HWAVEOUT device, std::uint32_t message,
                                 std::uintptr_t instance, std::uintptr_t param1,
                                 std::uintptr_t param2);

    voice::SoundFormat format_ = voice::kNarrowbandSound;
    std::function<void()> captureNotifier_;
    platform::HWAVEIN captureDevice_{};
    platform::HWAVEOUT playbackDevice_{};
    int captureOpen_ = 0;
    int playbackOpen_ = 0;
    std::vector<std::unique_ptr<char[]>> captureBuffers_;
    std::unique_ptr<platform::WAVEHDR[]> captureHeaders_;
    int capturePosition_ = 0;
    int captureCount_ = 0;
    int captureSize_ = 0;
    // Buffers at the position still to be dropped unread when they complete
    // (the one being filled when capture was last discarded).
    int captureSkip_ = 0;
    // Each slot is null or holds the last frame written to it.
    std::vector<std::unique_ptr<char[]>> playbackBuffers_;
    std::unique_ptr<platform::WAVEHDR[]> playbackHeaders_;
    int playbackPosition_ = 0;
    int playbackSlotCount_ = 0;
    std::uint64_t writtenPlaybackBytes_ = 0;
};
