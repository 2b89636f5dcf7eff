// The wave-in/wave-out interface over SDL2's audio devices in callback mode.
//
// Each open device keeps its queued headers in an intrusive list under a
// small mutex that only this file takes: the SDL callback holds it while it
// copies bytes into or out of the head of the queue, the API calls hold it
// for a few pointer updates. The callback never allocates and never waits
// for anything but that mutex.
//
// Lock order: SDL's own device lock (held by SDL around the callback) comes
// before a device's mutex, so SDL calls that take SDL's lock (pause, close)
// are made here without holding a device's mutex.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include "platform/sound.h"
#include "platform/step_clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {
namespace {

struct Device {
    bool input = false;
    std::uint32_t id = 0;
    SDL_AudioDeviceID sdl = 0;
    WaveInProc inProc = nullptr;
    WaveOutProc outProc = nullptr;
    std::uintptr_t instance = 0;
    std::uint8_t silence = 0;

    std::mutex mutex;
    // Guarded by mutex.
    WAVEHDR* head = nullptr;
    WAVEHDR* tail = nullptr;
    bool running = false;  // input: recording; output: not paused
    bool closed = false;
    // Input: bytes taken in. Output: bytes of written blocks handed to SDL,
    // the last callback's share (taken at chunkTime) included.
    std::uint64_t position = 0;
    std::uint64_t chunkBytes = 0;
    std::chrono::steady_clock::time_point chunkTime{};
    double bytesPerMs = 8;
    // Set where the device's steps keep a steady clock (KeepsSteadyClock);
    // used by SDL's thread alone.
    std::optional<StepClock> clock;
    // Started again after a pause: the steps not taken meanwhile are not
    // owed, so the clock starts afresh.
    std::atomic<bool> clockRestart{false};
};

// See kSteadyDiskSoundVariable. Measurements of the voice path use it, so
// that what they show is the path and not how late this machine's sleeps
// wake.
bool KeepsSteadyClock() {
    const char* driver = SDL_GetCurrentAudioDriver();
    const char* steady = std::getenv(kSteadyDiskSoundVariable);
    return driver && std::strcmp(driver, "disk") == 0 && steady && *steady && std::strcmp(steady, "0") != 0;
}

// Waits, outside the device's lock, until the step about to be taken is due.
void KeepStep(Device& d) {
    if (!d.clock) return;
    if (d.clockRestart.exchange(false)) d.clock->Restart();
    std::this_thread::sleep_until(d.clock->Due(std::chrono::steady_clock::now()));
}

// Serialises SDL's global calls (subsystem start and end, device open and
// close), which SDL does not make safe between threads.
std::mutex sdlMutex;
// Guards the table of open devices and the handle counter.
std::mutex registryMutex;
std::map<std::uint32_t, std::shared_ptr<Device>> devices;
std::uint32_t nextId = 1;

std::shared_ptr<Device> Find(std::uint32_t id, bool input) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = devices.find(id);
    if (it == devices.end() || it->second->input != input) return nullptr;
    return it->second;
}

// Callers hold the device's mutex.
void Notify(Device& d, std::uint32_t message, std::uintptr_t param1) {
    if (d.input) {
        if (d.inProc) d.inProc(static_cast<HWAVEIN>(d.id), message, d.instance, param1, 0);
    } else if (d.outProc) {
        d.outProc(static_cast<HWAVEOUT>(d.id), message, d.instance, param1, 0);
    }
}

void MarkQueued(WAVEHDR* h) {
    std::uint32_t f = h->dwFlags.load();
    while (!h->dwFlags.compare_exchange_weak(f, (f & ~WHDR_DONE) | WHDR_INQUEUE)) {
    }
}

void MarkDone(WAVEHDR* h) {
    std::uint32_t f = h->dwFlags.load();
    while (!h->dwFlags.compare_exchange_weak(f, (f & ~WHDR_INQUEUE) | WHDR_DONE)) {
    }
}

bool IsQueued(const Device& d, const WAVEHDR* h) {
    for (const WAVEHDR* q = d.head; q; q = q->lpNext) {
        if (q == h) return true;
    }
    return false;
}

void Append(Device& d, WAVEHDR* h) {
    h->lpNext = nullptr;
    if (d.tail) {
        d.tail->lpNext = h;
    } else {
        d.head = h;
    }
    d.tail = h;
}

WAVEHDR* PopHead(Device& d) {
    WAVEHDR* h = d.head;
    d.head = h->lpNext;
    if (!d.head) d.tail = nullptr;
    h->lpNext = nullptr;
    return h;
}

// Hands back every queued header, done, in queue order.
void HandBackAll(Device& d) {
    while (d.head) {
        WAVEHDR* h = PopHead(d);
        MarkDone(h);
        Notify(d, d.input ? WIM_DATA : WOM_DONE, reinterpret_cast<std::uintptr_t>(h));
    }
}

void SDLCALL InputCallback(void* userdata, Uint8* stream, int len) {
    Device& d = *static_cast<Device*>(userdata);
    KeepStep(d);
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running || d.closed || len <= 0) return;
    d.position += static_cast<std::uint64_t>(len);
    std::uint32_t offset = 0;
    const std::uint32_t total = static_cast<std::uint32_t>(len);
    while (offset < total && d.head) {
        WAVEHDR* h = d.head;
        std::uint32_t filled = static_cast<std::uint32_t>(h->reserved);
        std::uint32_t n = std::min(total - offset, h->dwBufferLength - filled);
        std::memcpy(h->lpData + filled, stream + offset, n);
        offset += n;
        filled += n;
        h->reserved = filled;
        if (filled < h->dwBufferLength) {
            h->dwBytesRecorded.store(filled);
            break;
        }
        PopHead(d);
        MarkDone(h);
        // The owner may take the buffer as soon as it sees this.
        h->dwBytesRecorded.store(filled);
        Notify(d, WIM_DATA, reinterpret_cast<std::uintptr_t>(h));
    }
    // Whatever is left had no buffer to go to: it is lost.
}

void SDLCALL OutputCallback(void* userdata, Uint8* stream, int len) {
    Device& d = *static_cast<Device*>(userdata);
    KeepStep(d);
    std::lock_guard<std::mutex> lock(d.mutex);
    if (len <= 0) return;
    const std::uint32_t total = static_cast<std::uint32_t>(len);
    std::uint32_t offset = 0;
    if (d.running && !d.closed) {
        while (d.head) {
            WAVEHDR* h = d.head;
            std::uint32_t played = static_cast<std::uint32_t>(h->reserved);
            std::uint32_t n = std::min(total - offset, h->dwBufferLength - played);
            if (n > 0) std::memcpy(stream + offset, h->lpData + played, n);
            offset += n;
            played += n;
            h->reserved = played;
            d.position += n;
            if (played < h->dwBufferLength) break;  // the stream is full
            PopHead(d);
            MarkDone(h);
            Notify(d, WOM_DONE, reinterpret_cast<std::uintptr_t>(h));
        }
    }
    if (offset < total) std::memset(stream + offset, d.silence, total - offset);
    d.chunkBytes = offset;
    d.chunkTime = std::chrono::steady_clock::now();
}

bool ToSdlFormat(const WAVEFORMATEX& f, SDL_AudioFormat* format) {
    if (f.wFormatTag != WAVE_FORMAT_PCM) return false;
    if (f.nChannels < 1 || f.nChannels > 2) return false;
    if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 192000) return false;
    if (f.wBitsPerSample == 8) {
        *format = AUDIO_U8;
    } else if (f.wBitsPerSample == 16) {
        *format = AUDIO_S16LSB;
    } else {
        return false;
    }
    const std::uint32_t align = f.nChannels * f.wBitsPerSample / 8u;
    return f.nBlockAlign == align && f.nAvgBytesPerSec == align * f.nSamplesPerSec;
}

// Short steps for speech, long enough not to starve on a busy machine. At
// 48 kHz a 5 ms step (half a frame) means capture adds no wait for the
// step that completes a frame (a 4 ms step added 0 or 2 ms, alternately)
// and frames leave 10 ms apart, not 8 and 12. A whole number of
// milliseconds keeps SDL's own pacing exact. Capture and playback step
// alike: a driver that sleeps a step and then adds its own overhead runs
// slow by that overhead's share of a step, and two directions with
// different steps would drift apart (5 ms capture against 4 ms playback
// drifted some 3 ms a second, which the play-out buffer then holds as
// latency).
Uint16 BufferFrames(std::uint32_t rate) { return static_cast<Uint16>(DeviceStepFrames(rate)); }

MMRESULT Open(bool input, std::uint32_t* handle, std::uint32_t deviceId, const WAVEFORMATEX& format,
              WaveInProc inProc, WaveOutProc outProc, std::uintptr_t instance) {
    if (!handle) return MMSYSERR_INVALPARAM;
    if (deviceId != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    SDL_AudioFormat sdlFormat = 0;
    if (!ToSdlFormat(format, &sdlFormat)) return WAVERR_BADFORMAT;

    std::lock_guard<std::mutex> sdlLock(sdlMutex);
    // SDL would otherwise take over SIGINT and SIGTERM.
    SDL_SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_OVERRIDE);
    SDL_SetMainReady();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return MMSYSERR_NODRIVER;

    auto d = std::make_shared<Device>();
    d->input = input;
    d->inProc = inProc;
    d->outProc = outProc;
    d->instance = instance;
    d->bytesPerMs = format.nAvgBytesPerSec / 1000.0;
    if (KeepsSteadyClock()) d->clock.emplace(BufferFrames(format.nSamplesPerSec), format.nSamplesPerSec);

    SDL_AudioSpec want{};
    want.freq = static_cast<int>(format.nSamplesPerSec);
    want.format = sdlFormat;
    want.channels = static_cast<Uint8>(format.nChannels);
    want.samples = BufferFrames(format.nSamplesPerSec);
    want.callback = input ? InputCallback : OutputCallback;
    want.userdata = d.get();
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to and from what the hardware takes.
    d->sdl = SDL_OpenAudioDevice(nullptr, input ? 1 : 0, &want, &have, 0);
    if (d->sdl == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return MMSYSERR_BADDEVICEID;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        d->id = nextId++;
        devices[d->id] = d;
    }
    *handle = d->id;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->silence = have.silence;
        Notify(*d, input ? WIM_OPEN : WOM_OPEN, 0);
        d->running = !input;  // output plays at once, input waits for start
    }
    if (!input) SDL_PauseAudioDevice(d->sdl, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT Close(bool input, std::uint32_t id) {
    std::shared_ptr<Device> d = Find(id, input);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> sdlLock(sdlMutex);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->closed) return MMSYSERR_INVALHANDLE;
        if (d->head) return WAVERR_STILLPLAYING;
        d->closed = true;
        d->running = false;
    }
    // Ends and joins SDL's thread for the device: no callback runs after this.
    SDL_CloseAudioDevice(d->sdl);
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        devices.erase(id);
    }
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        Notify(*d, input ? WIM_CLOSE : WOM_CLOSE, 0);
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return MMSYSERR_NOERROR;
}

MMRESULT Prepare(bool input, std::uint32_t id, WAVEHDR* header) {
    if (!Find(id, input)) return MMSYSERR_INVALHANDLE;
    if (!header) return MMSYSERR_INVALPARAM;
    if (!header->lpData && header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
    header->dwFlags.fetch_or(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(bool input, std::uint32_t id, WAVEHDR* header) {
    std::shared_ptr<Device> d = Find(id, input);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!header) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (IsQueued(*d, header)) return WAVERR_STILLPLAYING;
    header->dwFlags.fetch_and(~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT Queue(bool input, std::uint32_t id, WAVEHDR* header) {
    std::shared_ptr<Device> d = Find(id, input);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!header) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->closed) return MMSYSERR_INVALHANDLE;
    // Looked up in the queue rather than trusted from the flags, which the
    // owner may have cleared: a header queued twice would corrupt the list.
    if (IsQueued(*d, header)) return WAVERR_STILLPLAYING;
    if (!(header->dwFlags.load() & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (!header->lpData && header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
    if (input && header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    header->reserved = 0;
    if (input) header->dwBytesRecorded.store(0);
    MarkQueued(header);
    Append(*d, header);
    return MMSYSERR_NOERROR;
}

// What a change of the running state hands back: nothing, a partly filled
// input buffer (stop), or every queued header (reset).
enum class HandBack { kNothing, kPartial, kAll };

// Sets the running state; SDL's pause is applied outside the device's
// mutex (see the lock order above).
MMRESULT SetRunning(bool input, std::uint32_t id, bool run, HandBack handBack) {
    std::shared_ptr<Device> d = Find(id, input);
    if (!d) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->closed) return MMSYSERR_INVALHANDLE;
        if (run && input && !d->running) d->position = 0;
        if (run && !d->running) d->clockRestart.store(true);
        d->running = run;
        if (handBack == HandBack::kAll) {
            HandBackAll(*d);
            if (!input) {
                d->position = 0;
                d->chunkBytes = 0;
            }
        } else if (handBack == HandBack::kPartial && d->head && d->head->reserved > 0) {
            WAVEHDR* h = PopHead(*d);
            MarkDone(h);
            Notify(*d, WIM_DATA, reinterpret_cast<std::uintptr_t>(h));
        }
    }
    SDL_PauseAudioDevice(d->sdl, run ? 0 : 1);
    return MMSYSERR_NOERROR;
}

MMRESULT Position(bool input, std::uint32_t id, std::uint64_t* bytes) {
    std::shared_ptr<Device> d = Find(id, input);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!bytes) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->closed) return MMSYSERR_INVALHANDLE;
    *bytes = d->position;
    // SDL takes a whole chunk per callback and plays it from then on: the
    // position moves through it at the sample rate, as a card's would.
    if (!input && d->chunkBytes > 0) {
        using Ms = std::chrono::duration<double, std::milli>;
        const double ms = Ms(std::chrono::steady_clock::now() - d->chunkTime).count();
        const auto heard = static_cast<std::uint64_t>(std::max(0.0, ms * d->bytesPerMs));
        *bytes -= d->chunkBytes - std::min(d->chunkBytes, heard);
    }
    return MMSYSERR_NOERROR;
}

std::uint32_t Id(HWAVEIN h) { return static_cast<std::uint32_t>(h); }
std::uint32_t Id(HWAVEOUT h) { return static_cast<std::uint32_t>(h); }

}  // namespace

MMRESULT WaveInOpen(HWAVEIN* device, std::uint32_t deviceId, const WAVEFORMATEX& format,
                    WaveInProc callback, std::uintptr_t instance) {
    if (!device) return MMSYSERR_INVALPARAM;
    std::uint32_t id = 0;
    MMRESULT r = Open(true, &id, deviceId, format, callback, nullptr, instance);
    if (r == MMSYSERR_NOERROR) *device = static_cast<HWAVEIN>(id);
    return r;
}

MMRESULT WaveInPrepareHeader(HWAVEIN device, WAVEHDR* header) { return Prepare(true, Id(device), header); }
MMRESULT WaveInUnprepareHeader(HWAVEIN device, WAVEHDR* header) {
    return Unprepare(true, Id(device), header);
}
MMRESULT WaveInAddBuffer(HWAVEIN device, WAVEHDR* header) { return Queue(true, Id(device), header); }
MMRESULT WaveInStart(HWAVEIN device) { return SetRunning(true, Id(device), true, HandBack::kNothing); }
MMRESULT WaveInStop(HWAVEIN device) { return SetRunning(true, Id(device), false, HandBack::kPartial); }
MMRESULT WaveInReset(HWAVEIN device) { return SetRunning(true, Id(device), false, HandBack::kAll); }
MMRESULT WaveInClose(HWAVEIN device) { return Close(true, Id(device)); }
MMRESULT WaveInGetPosition(HWAVEIN device, std::uint64_t* bytes) {
    return Position(true, Id(device), bytes);
}

MMRESULT WaveOutOpen(HWAVEOUT* device, std::uint32_t deviceId, const WAVEFORMATEX& format,
                     WaveOutProc callback, std::uintptr_t instance) {
    if (!device) return MMSYSERR_INVALPARAM;
    std::uint32_t id = 0;
    MMRESULT r = Open(false, &id, deviceId, format, nullptr, callback, instance);
    if (r == MMSYSERR_NOERROR) *device = static_cast<HWAVEOUT>(id);
    return r;
}

MMRESULT WaveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header) {
    return Prepare(false, Id(device), header);
}
MMRESULT WaveOutWrite(HWAVEOUT device, WAVEHDR* header) { return Queue(false, Id(device), header); }
MMRESULT WaveOutPause(HWAVEOUT device) { return SetRunning(false, Id(device), false, HandBack::kNothing); }
MMRESULT WaveOutRestart(HWAVEOUT device) { return SetRunning(false, Id(device), true, HandBack::kNothing); }
MMRESULT WaveOutReset(HWAVEOUT device) { return SetRunning(false, Id(device), true, HandBack::kAll); }
MMRESULT WaveOutClose(HWAVEOUT device) { return Close(false, Id(device)); }
MMRESULT WaveOutGetPosition(HWAVEOUT device, std::uint64_t* bytes) {
    return Position(false, Id(device), bytes);
}

}  // namespace platform
