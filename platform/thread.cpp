// What a thread handle does the same way on every system; starting,
// joining and the running state are in the system's own file.
#include "platform/thread.h"

#include <utility>

namespace platform {

Thread::Thread(Thread&& other) noexcept : state_(std::move(other.state_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Join();
        state_ = std::move(other.state_);
    }
    return *this;
}

Thread::~Thread() { Join(); }

}  // namespace platform
