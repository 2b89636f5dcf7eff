// What a thread handle does the same way on every system; creating the
// thread, waiting for it and its priority are in the system's own file.
#include "platform/thread.h"

#include <utility>

#include "platform/thread_state.h"

namespace platform {

std::uint32_t Thread::State::Run() {
    std::uint32_t code = routine(argument);
    exitCode.store(code);
    running.store(false);
    return code;
}

Thread::Thread(Thread&& other) noexcept : state_(std::move(other.state_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Join();
        state_ = std::move(other.state_);
    }
    return *this;
}

Thread::~Thread() { Join(); }

Thread Thread::Start(ThreadRoutine routine, void* argument) {
    Thread t;
    auto state = std::make_shared<State>();
    state->routine = routine;
    state->argument = argument;
    if (StartNativeThread(*state)) t.state_ = std::move(state);
    return t;
}

bool Thread::IsRunning() const { return state_ && state_->running.load(); }

std::uint32_t Thread::ExitCode() const {
    if (!state_) return 0;
    return state_->running.load() ? kStillActive : state_->exitCode.load();
}

void Thread::Join() {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->joinMutex);
    if (state_->joined) return;
    JoinNativeThread(*state_);
    state_->joined = true;
}

}  // namespace platform
