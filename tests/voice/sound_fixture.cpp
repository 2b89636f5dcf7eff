#include "sound_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>

#include "platform/message_box.h"
#include "platform/sound.h"
#include "platform/tools/process.h"

namespace voicetest {

TempDir::TempDir() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("orvane-voice-" + std::to_string(random()) + "-" +
                                 std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void SetEnv(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnv(const std::string& name) { ::unsetenv(name.c_str()); }

Bytes PatternFrame(int k) {
    Bytes frame(kFrame);
    frame[0] = static_cast<std::uint8_t>(k & 0x7F);
    frame[1] = static_cast<std::uint8_t>((k >> 7) & 0x7F);
    for (int j = 2; j < kFrame; ++j) {
        std::uint8_t v = static_cast<std::uint8_t>((k * 31 + j * 7 + 3) & 0xFF);
        frame[j] = v == kSilence ? 129 : v;
    }
    return frame;
}

Bytes PatternFrames(int first, int count) {
    Bytes all;
    for (int k = first; k < first + count; ++k) {
        Bytes f = PatternFrame(k);
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

int PatternIndex(const std::uint8_t* frame) {
    const int k = frame[0] | (frame[1] << 7);
    const Bytes expected = PatternFrame(k);
    return std::equal(expected.begin(), expected.end(), frame) ? k : -1;
}

bool IsSilence(const std::uint8_t* frame, int length) {
    return std::all_of(frame, frame + length, [](std::uint8_t v) { return v == kSilence; });
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes WithoutSilence(const Bytes& bytes) {
    Bytes kept;
    std::copy_if(bytes.begin(), bytes.end(), std::back_inserter(kept),
                 [](std::uint8_t v) { return v != kSilence; });
    return kept;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

namespace {

std::mutex messagesMutex;
std::vector<std::string> messages;

void CollectMessage(const std::string&, const std::string& text) {
    std::lock_guard<std::mutex> lock(messagesMutex);
    messages.push_back(text);
}

bool RunTool(const std::string& program, const std::vector<std::string>& arguments,
             std::string* error) {
    platform::ChildProcess child;
    if (!child.Start(program, arguments)) {
        *error = program + " could not be started";
        return false;
    }
    child.CloseInput();
    int code = -1;
    if (!child.Wait(60000, &code)) {
        child.Kill();
        *error = program + " did not finish";
        return false;
    }
    if (code != 0) {
        std::string err;
        child.ReadError(&err, 0);
        *error = program + " failed with " + std::to_string(code) + ": " + err;
        return false;
    }
    return true;
}

std::string FindTool(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (std::filesystem::exists(path)) return path;
    }
    return {};
}

}  // namespace

std::vector<std::string> ShownMessages() {
    std::lock_guard<std::mutex> lock(messagesMutex);
    return messages;
}

void ClearShownMessages() {
    std::lock_guard<std::mutex> lock(messagesMutex);
    messages.clear();
}

bool MakeSpeech(const std::string& text, const std::string& folder, Bytes* samples,
                std::string* error) {
    const std::string espeak = FindTool("espeak-ng");
    const std::string sox = FindTool("sox");
    if (espeak.empty() || sox.empty()) {
        *error = "espeak-ng and sox are needed (scripts/install-deps)";
        return false;
    }
    const std::string wav = folder + "/speech.wav";
    const std::string raw = folder + "/speech.raw";
    if (!RunTool(espeak, {"-w", wav, text}, error)) return false;
    if (!RunTool(sox, {"-D", wav, "-t", "raw", "-r", "8000", "-c", "1", "-b", "8", "-e",
                       "unsigned-integer", raw},
                 error)) {
        return false;
    }
    *samples = ReadFileBytes(raw);
    if (samples->empty()) {
        *error = "sox wrote no samples";
        return false;
    }
    return true;
}

void SoundTest::SetUp() {
    ClearShownMessages();
    platform::SetMessagePresenter(&CollectMessage);
    // Settings a developer's environment might carry would change the device.
    UnsetEnv("SDL_AUDIO_DEVICE_NAME");
    UseDriver("disk");
    SetEnv("SDL_DISKAUDIOFILEIN", InputFile());
    SetEnv("SDL_DISKAUDIOFILE", OutputFile());
    UseDiskDelay(1);
}

void SoundTest::TearDown() {
    platform::SetMessagePresenter(nullptr);
    UnsetEnv("SDL_AUDIODRIVER");
    UnsetEnv("SDL_DISKAUDIOFILEIN");
    UnsetEnv("SDL_DISKAUDIOFILE");
    UnsetEnv("SDL_DISKAUDIODELAY");
    UnsetEnv(platform::kSteadyDiskSoundVariable);
}

void SoundTest::UseDriver(const std::string& driver) { SetEnv("SDL_AUDIODRIVER", driver); }

void SoundTest::UseDiskDelay(int milliseconds) {
    if (milliseconds < 0) {
        UnsetEnv("SDL_DISKAUDIODELAY");
    } else {
        SetEnv("SDL_DISKAUDIODELAY", std::to_string(milliseconds));
    }
}

}  // namespace voicetest
