#include "platform/thread.h"

#include <ctime>
#include <pthread.h>
#include <sched.h>

#include "platform/thread_state.h"

namespace platform {
namespace {

void* Trampoline(void* state) {
    static_cast<Thread::State*>(state)->Run();
    return nullptr;
}

}  // namespace

Thread::State::~State() = default;

bool StartNativeThread(Thread::State& state) {
    return ::pthread_create(&state.handle, nullptr, &Trampoline, &state) == 0;
}

void JoinNativeThread(Thread::State& state) { ::pthread_join(state.handle, nullptr); }

bool Thread::RaisePriority() {
    if (!state_) return false;
    // Real-time scheduling needs privileges a desktop user rarely has; the
    // thread then keeps the normal priority, which is not an error.
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_RR);
    return ::pthread_setschedparam(state_->handle, SCHED_RR, &param) == 0;
}

void SleepMs(int milliseconds) {
    if (milliseconds <= 0) return;
    timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace platform
