#include "platform/thread.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

struct Thread::State {
    ThreadRoutine routine = nullptr;
    void* argument = nullptr;
    pthread_t handle{};
    std::atomic<std::uint32_t> id{0};
    std::atomic<bool> running{true};
    std::atomic<std::uint32_t> exitCode{kStillActive};
    std::mutex joinMutex;
    bool joined = false;
};

namespace {

void* Trampoline(void* raw) {
    auto* state = static_cast<Thread::State*>(raw);
    state->id.store(static_cast<std::uint32_t>(::syscall(SYS_gettid)));
    std::uint32_t code = state->routine(state->argument);
    state->exitCode.store(code);
    state->running.store(false);
    return nullptr;
}

}  // namespace

Thread Thread::Start(ThreadRoutine routine, void* argument) {
    Thread t;
    auto state = std::make_shared<State>();
    state->routine = routine;
    state->argument = argument;
    if (::pthread_create(&state->handle, nullptr, &Trampoline, state.get()) != 0) return t;
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
    // Real-time scheduling needs privileges a desktop user rarely has; the
    // thread then keeps the normal priority, which is not an error.
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_RR);
    return ::pthread_setschedparam(state_->handle, SCHED_RR, &param) == 0;
}

void Thread::Join() {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->joinMutex);
    if (state_->joined) return;
    ::pthread_join(state_->handle, nullptr);
    state_->joined = true;
}

void SleepMs(int milliseconds) {
    if (milliseconds <= 0) return;
    timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace platform
