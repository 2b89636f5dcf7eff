#include "platform/thread.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace platform {

struct Thread::State {
    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    HANDLE handle = nullptr;
    std::atomic<std::uint32_t> id{0};
    std::atomic<bool> running{true};
    // Kept here rather than read from the system: a routine may itself
    // return 259, which the system would report as still running.
    std::atomic<std::uint32_t> exitCode{kStillActive};
    std::mutex joinMutex;
    bool joined = false;

    ~State() {
        if (handle) ::CloseHandle(handle);
    }
};

namespace {

DWORD WINAPI Trampoline(LPVOID raw) {
    auto* state = static_cast<Thread::State*>(raw);
    std::uint32_t code = state->routine(state->argument);
    state->exitCode.store(code);
    state->running.store(false);
    return code;
}

}  // namespace

Thread Thread::Start(ThreadRoutine routine, void* argument) {
    Thread t;
    auto state = std::make_shared<State>();
    state->routine = routine;
    state->argument = argument;
    DWORD id = 0;
    state->handle = ::CreateThread(nullptr, 0, &Trampoline, state.get(), 0, &id);
    if (!state->handle) return t;
    state->id.store(id);
    t.state_ = std::move(state);
    return t;
}

std::uint32_t Thread::Id() const { return state_ ? state_->id.load() : 0; }

bool Thread::IsRunning() const { return state_ && state_->running.load(); }

std::uint32_t Thread::ExitCode() const {
    if (!state_) return 0;
    return state_->running.load() ? kStillActive : state_->exitCode.load();
}

bool Thread::RaisePriority() {
    if (!state_) return false;
    return ::SetThreadPriority(state_->handle, THREAD_PRIORITY_HIGHEST) != 0;
}

void Thread::Join() {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->joinMutex);
    if (state_->joined) return;
    ::WaitForSingleObject(state_->handle, INFINITE);
    state_->joined = true;
}

void SleepMs(int milliseconds) {
    if (milliseconds <= 0) return;
    ::Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace platform
