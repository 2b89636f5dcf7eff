// Threads: start a routine with one pointer argument, ask whether it still
// runs and how it ended, raise its priority, join it.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// Exit code reported while a thread is still running.
constexpr std::uint32_t kStillActive = 259;

using ThreadRoutine = std::uint32_t (*)(void* argument);

class Thread {
public:
    Thread() = default;
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Joins a thread that was not joined yet: its owner must have asked it to
    // end before letting go of it.
    ~Thread();

    // Starts the routine at once. The result holds no thread when the system
    // could not create one.
    static Thread Start(ThreadRoutine routine, void* argument);

    bool IsValid() const { return state_ != nullptr; }
    bool IsRunning() const;
    // The routine's result once it has returned, kStillActive before.
    std::uint32_t ExitCode() const;
    // Best effort: where the system refuses (no privilege) nothing changes.
    bool RaisePriority();
    // Waits for the routine to return. Safe to call twice.
    void Join();

    struct State;  // shared with the running thread

private:
    std::shared_ptr<State> state_;
};

void SleepMs(int milliseconds);

}  // namespace platform
