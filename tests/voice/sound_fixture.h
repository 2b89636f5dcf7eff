// What the sound tests share: a fresh folder per test, SDL's driver chosen
// through the environment (dummy, or disk with files in that folder), frames
// that tell which one they are, bounded waits, collected message boxes, and
// speech made at test time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace voicetest {

using Bytes = std::vector<std::uint8_t>;

constexpr int kFrame = 128;
constexpr std::uint8_t kSilence = 128;

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

// Frame k of a test recording: 128 bytes that differ from every other
// frame's and never hold the silence value, so that silence can be told
// apart in what a device wrote.
Bytes PatternFrame(int k);
// Frames first..first+count-1 one after the other.
Bytes PatternFrames(int first, int count);
// Which pattern frame these 128 bytes are, or -1.
int PatternIndex(const std::uint8_t* frame);
bool IsSilence(const std::uint8_t* frame, int length = kFrame);

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
// The bytes with every silence value taken out.
Bytes WithoutSilence(const Bytes& bytes);

// Polls the condition (every millisecond or so) until it holds or the time
// runs out; true when it held.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

// Message boxes shown since the last Clear; installed for a test's lifetime.
std::vector<std::string> ShownMessages();
void ClearShownMessages();

// Speech made with espeak-ng and turned by sox (-D: no dither, so the same
// text gives the same bytes) into raw unsigned 8-bit mono at 8000 Hz. False
// with a reason when either tool is missing or fails.
bool MakeSpeech(const std::string& text, const std::string& folder, Bytes* samples,
                std::string* error);

// A test with its own folder, SDL's disk driver reading <folder>/in.raw and
// writing <folder>/out.raw at one SDL buffer per millisecond, and message
// boxes collected instead of shown.
class SoundTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void UseDriver(const std::string& driver);
    // Milliseconds the disk driver waits per SDL buffer (128 samples);
    // negative: SDL's own pace, 16 ms as at 8000 samples per second.
    void UseDiskDelay(int milliseconds);
    std::string InputFile() const { return dir_.File("in.raw"); }
    std::string OutputFile() const { return dir_.File("out.raw"); }

    TempDir dir_;
};

}  // namespace voicetest
