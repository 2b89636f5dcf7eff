// Sound input and output in the shape of the classic wave-in/wave-out
// interface: open a device with a PCM format and a completion callback,
// prepare headers, queue buffers, start, stop, reset, close. Every call
// returns an MMRESULT (0 on success).
//
// Input: queued buffers are filled in the order they were queued; the
// device raises dwBytesRecorded as bytes arrive, and a buffer is complete
// when dwBytesRecorded equals dwBufferLength (its flags then say done, and
// the callback gets WIM_DATA). Sound that arrives while nothing is queued is
// lost.
// Output: written blocks play back to back in the order written; when a
// block has been played its flags say done and the callback gets WOM_DONE
// with the header's address as first parameter. With nothing queued the
// device plays silence.
//
// Callbacks run on the sound thread (and, for blocks handed back by a reset,
// on the caller's thread) while the device is locked: a callback must not
// call into this interface. Headers and their buffers must stay alive until
// the device has handed them back (reset, then close).
//
// The sound system is picked by its own settings (driver and device in the
// environment); a missing driver or device makes the open fail cleanly.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

using MMRESULT = std::uint32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// The default device; the only one that can be opened.
constexpr std::uint32_t WAVE_MAPPER = 0xFFFFFFFFu;

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

struct WAVEFORMATEX {
    std::uint16_t wFormatTag = WAVE_FORMAT_PCM;
    std::uint16_t nChannels = 1;
    std::uint32_t nSamplesPerSec = 8000;
    std::uint32_t nAvgBytesPerSec = 8000;
    std::uint16_t nBlockAlign = 1;
    std::uint16_t wBitsPerSample = 8;
    std::uint16_t cbSize = 0;
};

// Sample frames a device opened at this rate takes at a time: about 16 ms
// at 8000 Hz (a power of two, 128), 5 ms at the higher rates of wideband
// voice (half a 10 ms frame, so each frame is complete at a step's end).
constexpr std::uint32_t DeviceStepFrames(std::uint32_t rate) {
    if (rate > 8000) return rate / 200;
    const std::uint32_t wanted = rate * 16 / 1000;
    std::uint32_t frames = 64;
    while (frames < wanted && frames < 8192) frames *= 2;
    return frames;
}

// Set (to anything but "0") in the environment, devices on SDL's disk driver
// take each step when a steady clock says it is due, as a card's crystal
// times it, instead of after the driver's own sleep (which only has to be
// shorter than a step then: SDL_DISKAUDIODELAY=1).
constexpr const char* kSteadyDiskSoundVariable = "ORVANE_STEADY_DISK_SOUND";

// Header flags.
constexpr std::uint32_t WHDR_DONE = 0x01;
constexpr std::uint32_t WHDR_PREPARED = 0x02;
constexpr std::uint32_t WHDR_INQUEUE = 0x10;

// One buffer as the device sees it. dwBytesRecorded and dwFlags are written
// by the sound thread while the header is queued and may be read by the
// owner at any time, so they are atomic; the owner changes the other fields
// only while the header is not queued.
struct WAVEHDR {
    char* lpData = nullptr;
    std::uint32_t dwBufferLength = 0;
    std::atomic<std::uint32_t> dwBytesRecorded{0};
    std::uintptr_t dwUser = 0;
    std::atomic<std::uint32_t> dwFlags{0};
    std::uint32_t dwLoops = 0;
    // The device's own: link to the next queued header, and how far it has
    // filled or played this one.
    WAVEHDR* lpNext = nullptr;
    std::uintptr_t reserved = 0;
};

// Handles; the value-initialised handle ({}) names no device. A handle is
// never reused, so calls on a closed one fail with MMSYSERR_INVALHANDLE.
enum class HWAVEIN : std::uint32_t {};
enum class HWAVEOUT : std::uint32_t {};

// Callback messages.
constexpr std::uint32_t WIM_OPEN = 0x3BE;
constexpr std::uint32_t WIM_CLOSE = 0x3BF;
constexpr std::uint32_t WIM_DATA = 0x3C0;
constexpr std::uint32_t WOM_OPEN = 0x3BB;
constexpr std::uint32_t WOM_CLOSE = 0x3BC;
constexpr std::uint32_t WOM_DONE = 0x3BD;

// For WIM_DATA and WOM_DONE param1 is the WAVEHDR's address.
using WaveInProc = void (*)(HWAVEIN device, std::uint32_t message, std::uintptr_t instance,
                            std::uintptr_t param1, std::uintptr_t param2);
using WaveOutProc = void (*)(HWAVEOUT device, std::uint32_t message, std::uintptr_t instance,
                             std::uintptr_t param1, std::uintptr_t param2);

// --- Input ------------------------------------------------------------------

// Opens the default input device (deviceId WAVE_MAPPER) stopped, with the
// callback (may be null). MMSYSERR_NODRIVER when no sound system is
// available, MMSYSERR_BADDEVICEID when it has no input device,
// WAVERR_BADFORMAT for a format other than 8- or 16-bit PCM.
MMRESULT WaveInOpen(HWAVEIN* device, std::uint32_t deviceId, const WAVEFORMATEX& format,
                    WaveInProc callback, std::uintptr_t instance);
// Marks a header prepared (a prepared header stays so).
MMRESULT WaveInPrepareHeader(HWAVEIN device, WAVEHDR* header);
// Clears the prepared mark; WAVERR_STILLPLAYING while the header is queued.
MMRESULT WaveInUnprepareHeader(HWAVEIN device, WAVEHDR* header);
// Queues a buffer for filling from its start: WAVERR_UNPREPARED when not
// prepared, WAVERR_STILLPLAYING when already queued.
MMRESULT WaveInAddBuffer(HWAVEIN device, WAVEHDR* header);
MMRESULT WaveInStart(HWAVEIN device);
// Stops recording; a buffer that holds part of its sound is handed back
// (done, with dwBytesRecorded telling how much), empty ones stay queued.
MMRESULT WaveInStop(HWAVEIN device);
// Stops recording and hands back every queued buffer marked done.
MMRESULT WaveInReset(HWAVEIN device);
// WAVERR_STILLPLAYING while buffers are queued.
MMRESULT WaveInClose(HWAVEIN device);
// Bytes the device has taken in since it was last started, whether a
// buffer was queued to hold them or not.
MMRESULT WaveInGetPosition(HWAVEIN device, std::uint64_t* bytes);

// --- Output -----------------------------------------------------------------

// Opens the default output device (deviceId WAVE_MAPPER), playing at once,
// with the callback (may be null). Results as for WaveInOpen.
MMRESULT WaveOutOpen(HWAVEOUT* device, std::uint32_t deviceId, const WAVEFORMATEX& format,
                     WaveOutProc callback, std::uintptr_t instance);
MMRESULT WaveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header);
// Queues a block behind those already written: WAVERR_UNPREPARED when not
// prepared, WAVERR_STILLPLAYING when already queued. An empty block is
// handed back as soon as it is reached.
MMRESULT WaveOutWrite(HWAVEOUT device, WAVEHDR* header);
// Holds playing where it is (silence meanwhile) until WaveOutRestart.
MMRESULT WaveOutPause(HWAVEOUT device);
MMRESULT WaveOutRestart(HWAVEOUT device);
// Hands back every queued block marked done; a paused device plays again.
MMRESULT WaveOutReset(HWAVEOUT device);
// WAVERR_STILLPLAYING while blocks are queued.
MMRESULT WaveOutClose(HWAVEOUT device);
// Bytes of written blocks played since the device was opened or reset: the
// sound heard so far, moving on at the sample rate between the device's own
// steps. A block is handed back once the device has taken all of it, which
// may be a little before all of it has been heard.
MMRESULT WaveOutGetPosition(HWAVEOUT device, std::uint64_t* bytes);

}  // namespace platform
