#include "voice/wave_device.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/message_box.h"

using namespace platform;

namespace {

WAVEFORMATEX VoiceFormat(const voice::SoundFormat& sound) {
    WAVEFORMATEX format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = static_cast<std::uint32_t>(sound.rate);
    format.nAvgBytesPerSec = static_cast<std::uint32_t>(sound.BytesPerSecond());
    format.nBlockAlign = static_cast<std::uint16_t>(sound.bytesPerSample);
    format.wBitsPerSample = static_cast<std::uint16_t>(8 * sound.bytesPerSample);
    format.cbSize = 0;
    return format;
}

bool SlotFree(const WAVEHDR& header) {
    const std::uint32_t flags = header.dwFlags.load();
    return flags == 0 || flags == WHDR_DONE;
}

}  // namespace

CWaveDevice::~CWaveDevice() {
    // The device must have handed every buffer back before it is released.
    if (captureOpen_) {
        WaveInStop(captureDevice_);
        WaveInReset(captureDevice_);
        WaveInClose(captureDevice_);
        captureOpen_ = 0;
    }
    FreeCaptureBuffers();
    if (playbackOpen_) {
        WaveOutReset(playbackDevice_);
        WaveOutClose(playbackDevice_);
        playbackOpen_ = 0;
    }
    FreePlaybackBuffers();
}

// --- Capture ----------------------------------------------------------------

void CWaveDevice::CaptureCallback(HWAVEIN, std::uint32_t message, std::uintptr_t instance,
                                  std::uintptr_t, std::uintptr_t) {
    // Completion shows in the headers themselves; the notifier only saves
    // the owner the wait for its next look.
    if (message != WIM_DATA || instance == 0) return;
    const auto* self = reinterpret_cast<const CWaveDevice*>(instance);
    if (self->captureNotifier_) self->captureNotifier_();
}

int CWaveDevice::OpenCapture(int bufferBytes) {
    if (bufferBytes < kMinCaptureBytes || bufferBytes > kMaxCaptureBytes || captureOpen_) return 0;
    if (WaveInOpen(&captureDevice_, WAVE_MAPPER, VoiceFormat(format_), &CaptureCallback,
                   reinterpret_cast<std::uintptr_t>(this)) !=
        MMSYSERR_NOERROR) {
        captureDevice_ = HWAVEIN{};
        ShowMessageBox("Open error");
        return 0;
    }
    captureOpen_ = 1;

    captureCount_ = std::max(1, kCaptureRingMs * format_.BytesPerMs() / bufferBytes);
    captureSize_ = bufferBytes;
    capturePosition_ = 0;
    captureSkip_ = 0;
    captureBuffers_.clear();
    for (int i = 0; i < captureCount_; ++i) {
        // Recorded over before it is read: no need to clear it.
        captureBuffers_.push_back(std::make_unique_for_overwrite<char[]>(captureSize_));
    }
    captureHeaders_ = std::make_unique<WAVEHDR[]>(captureCount_);
    for (int i = 0; i < captureCount_; ++i) {
        WAVEHDR& h = captureHeaders_[i];
        h.lpData = captureBuffers_[i].get();
        h.dwBufferLength = static_cast<std::uint32_t>(captureSize_);
        h.dwBytesRecorded.store(0);
        h.dwFlags.store(0);
    }

    for (int i = 0; i < captureCount_; ++i) {
        if (WaveInPrepareHeader(captureDevice_, &captureHeaders_[i]) != MMSYSERR_NOERROR) return 0;
        const MMRESULT r = WaveInAddBuffer(captureDevice_, &captureHeaders_[i]);
        if (r != MMSYSERR_NOERROR) {
            std::string text = "AddBufferError i=" + std::to_string(i);
            if (r == WAVERR_UNPREPARED) text += "UNPREPARED";
            ShowMessageBox(text);
            return 0;
        }
    }
    return WaveInStart(captureDevice_) == MMSYSERR_NOERROR ? 1 : 0;
}

bool CWaveDevice::TakeCaptureBuffer(std::uint8_t* frame) {
    WAVEHDR& h = captureHeaders_[capturePosition_];
    // Complete means every byte recorded; the sound thread stores the count
    // after the bytes, so reading it first makes the bytes safe to copy.
    if (h.dwBytesRecorded.load() != h.dwBufferLength) return false;
    if (frame) std::memcpy(frame, h.lpData, static_cast<std::size_t>(captureSize_));
    h.dwBytesRecorded.store(0);
    h.dwFlags.store(0);
    // A failure here leaves the buffer out of the ring: capture stalls at it.
    WaveInPrepareHeader(captureDevice_, &h);
    WaveInAddBuffer(captureDevice_, &h);
    capturePosition_ = (capturePosition_ + 1) % captureCount_;
    return true;
}

int CWaveDevice::GetCapturedFrame(std::uint8_t* frame) {
    if (!captureOpen_ || !frame || captureCount_ == 0) return 0;
    while (captureSkip_ > 0) {
        if (!TakeCaptureBuffer(nullptr)) return 0;
        --captureSkip_;
    }
    return TakeCaptureBuffer(frame) ? 1 : 0;
}

int CWaveDevice::DiscardCapturedFrames() {
    if (!captureOpen_ || captureCount_ == 0) return 0;
    captureSkip_ = 0;
    int discarded = 0;
    // Bounded: buffers that complete meanwhile are recent sound anyway.
    while (discarded < captureCount_ && TakeCaptureBuffer(nullptr)) ++discarded;
    // The buffer at the position now is the one the device fills next. If
    // it already holds sound, that sound is older than this call.
    if (captureHeaders_[capturePosition_].dwBytesRecorded.load() > 0) captureSkip_ = 1;
    return discarded;
}

int CWaveDevice::CloseCapture() {
    if (WaveInStop(captureDevice_) != MMSYSERR_NOERROR) return 0;
    WaveInReset(captureDevice_);
    if (WaveInClose(captureDevice_) != MMSYSERR_NOERROR) return 0;
    captureOpen_ = 0;
    captureDevice_ = HWAVEIN{};
    FreeCaptureBuffers();
    return 1;
}

void CWaveDevice::FreeCaptureBuffers() {
    captureBuffers_.clear();
    captureBuffers_.shrink_to_fit();
    captureHeaders_.reset();
    captureCount_ = 0;
    captureSize_ = 0;
    capturePosition_ = 0;
    captureSkip_ = 0;
}

int CWaveDevice::CountCompleteCaptureBuffers() const {
    int complete = 0;
    for (int i = 0; i < captureCount_; ++i) {
        const WAVEHDR& h = captureHeaders_[i];
        if (h.dwBytesRecorded.load() == h.dwBufferLength) ++complete;
    }
    return complete;
}

std::uint64_t CWaveDevice::GetRecordedBytes() const {
    std::uint64_t bytes = 0;
    if (!captureOpen_ || WaveInGetPosition(captureDevice_, &bytes) != MMSYSERR_NOERROR) return 0;
    return bytes;
}

// --- Playback ---------------------------------------------------------------

void CWaveDevice::PlaybackCallback(HWAVEOUT, std::uint32_t message, std::uintptr_t,
                                   std::uintptr_t param1, std::uintptr_t) {
    // A finished block frees its slot.
    if (message == WOM_DONE && param1 != 0) {
        reinterpret_cast<WAVEHDR*>(param1)->dwFlags.store(0);
    }
}

int CWaveDevice::OpenPlayback(const std::uint8_t* initialData, int initialBytes, int slotCount) {
    if (playbackOpen_ || slotCount < 1) return 0;
    if (initialBytes < 0 || (initialBytes > 0 && !initialData)) return 0;
    if (WaveOutOpen(&playbackDevice_, WAVE_MAPPER, VoiceFormat(format_), &PlaybackCallback, 0) !=
        MMSYSERR_NOERROR) {
        playbackDevice_ = HWAVEOUT{};
        return 0;
    }
    playbackOpen_ = 1;
    playbackSlotCount_ = std::min(slotCount, kMaxPlaybackSlots);
    playbackPosition_ = 0;
    writtenPlaybackBytes_ = 0;

    playbackBuffers_.clear();
    playbackBuffers_.resize(static_cast<std::size_t>(playbackSlotCount_));
    playbackBuffers_[0] = std::make_unique_for_overwrite<char[]>(initialBytes);
    if (initialBytes > 0) std::memcpy(playbackBuffers_[0].get(), initialData, initialBytes);

    playbackHeaders_ = std::make_unique<WAVEHDR[]>(playbackSlotCount_);
    WAVEHDR& first = playbackHeaders_[0];
    first.lpData = playbackBuffers_[0].get();
    first.dwBufferLength = static_cast<std::uint32_t>(initialBytes);

    if (WaveOutPrepareHeader(playbackDevice_, &first) != MMSYSERR_NOERROR) return 0;
    if (WaveOutWrite(playbackDevice_, &first) != MMSYSERR_NOERROR) return 0;
    writtenPlaybackBytes_ = static_cast<std::uint64_t>(initialBytes);
    playbackPosition_ = playbackSlotCount_ > 1 ? 1 : 0;
    return 1;
}

int CWaveDevice::PlayFrame(const std::uint8_t* data, int bytes) {
    if (!playbackOpen_ || playbackSlotCount_ == 0) return 0;
    if (bytes < 0 || (bytes > 0 && !data)) return 0;
    WAVEHDR& h = playbackHeaders_[playbackPosition_];
    if (!SlotFree(h)) return 0;  // still playing: the frame is dropped

    std::unique_ptr<char[]>& slot = playbackBuffers_[static_cast<std::size_t>(playbackPosition_)];
    slot = std::make_unique_for_overwrite<char[]>(bytes);
    if (bytes > 0) std::memcpy(slot.get(), data, static_cast<std::size_t>(bytes));
    h.lpData = slot.get();
    h.dwBufferLength = static_cast<std::uint32_t>(bytes);
    h.dwFlags.store(0);
    // A block that was prepared but not written keeps its flags and never
    // finishes: later frames are dropped at it until playback is closed.
    WaveOutPrepareHeader(playbackDevice_, &h);
    if (WaveOutWrite(playbackDevice_, &h) == MMSYSERR_NOERROR) {
        writtenPlaybackBytes_ += static_cast<std::uint64_t>(bytes);
    }
    playbackPosition_ = (playbackPosition_ + 1) % playbackSlotCount_;
    return 1;
}

int CWaveDevice::ClosePlayback() {
    if (WaveOutReset(playbackDevice_) != MMSYSERR_NOERROR) return 0;
    if (WaveOutClose(playbackDevice_) != MMSYSERR_NOERROR) return 0;
    playbackOpen_ = 0;
    playbackDevice_ = HWAVEOUT{};
    FreePlaybackBuffers();
    return 1;
}

void CWaveDevice::FreePlaybackBuffers() {
    playbackBuffers_.clear();
    playbackBuffers_.shrink_to_fit();
    playbackHeaders_.reset();
    playbackPosition_ = 0;
    playbackSlotCount_ = 0;
    writtenPlaybackBytes_ = 0;
}

bool CWaveDevice::IsPlaybackSlotFree(int slot) const {
    if (slot < 0 || slot >= playbackSlotCount_) return false;
    return SlotFree(playbackHeaders_[slot]);
}

int CWaveDevice::CountQueuedPlaybackBlocks() const {
    int queued = 0;
    for (int slot = 0; slot < playbackSlotCount_; ++slot) {
        if (!SlotFree(playbackHeaders_[slot])) ++queued;
    }
    return queued;
}

std::uint64_t CWaveDevice::GetPlayedBytes() const {
    std::uint64_t bytes = 0;
    if (!playbackOpen_ || WaveOutGetPosition(playbackDevice_, &bytes) != MMSYSERR_NOERROR) return 0;
    return bytes;
}

std::uint64_t CWaveDevice::GetUnplayedBytes() const {
    const std::uint64_t played = GetPlayedBytes();
    return writtenPlaybackBytes_ > played ? writtenPlaybackBytes_ - played : 0;
}
