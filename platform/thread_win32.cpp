#include "platform/thread.h"

#include <windows.h>

#include "platform/thread_state.h"

namespace platform {
namespace {

DWORD WINAPI Trampoline(LPVOID state) { return static_cast<Thread::State*>(state)->Run(); }

}  // namespace

Thread::State::~State() {
    if (handle) ::CloseHandle(handle);
}

bool StartNativeThread(Thread::State& state) {
    state.handle = ::CreateThread(nullptr, 0, &Trampoline, &state, 0, nullptr);
    return state.handle != nullptr;
}

void JoinNativeThread(Thread::State& state) { ::WaitForSingleObject(state.handle, INFINITE); }

bool Thread::RaisePriority() {
    if (!state_) return false;
    return ::SetThreadPriority(state_->handle, THREAD_PRIORITY_HIGHEST) != 0;
}

void SleepMs(int milliseconds) {
    if (milliseconds <= 0) return;
    ::Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace platform
