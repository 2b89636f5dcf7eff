#include "platform/sync.h"

#include <windows.h>

namespace platform {
namespace {

static_assert(sizeof(HANDLE) <= 64, "Mutex storage too small for a handle");

HANDLE& Native(unsigned char* storage) { return *reinterpret_cast<HANDLE*>(storage); }

}  // namespace

// An unnamed system mutex, created not owned: its waits take a time limit
// and report an abandoned mutex, and its release fails for anyone but the
// holder.
Mutex::Mutex() { Native(native_) = ::CreateMutexA(nullptr, FALSE, nullptr); }

Mutex::~Mutex() {
    if (Native(native_)) ::CloseHandle(Native(native_));
}

bool Mutex::Wait(int milliseconds) {
    // The system's mutex lets its holder in again; ours never does, as on
    // other systems, so a thread that asks twice is told no instead of
    // owning it twice.
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return false;
    HANDLE h = Native(native_);
    if (!h) return false;
    DWORD limit = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    // An abandoned mutex (its holder ended) counts as a failure.
    if (::WaitForSingleObject(h, limit) != WAIT_OBJECT_0) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

bool Mutex::Release() {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    return ::ReleaseMutex(Native(native_)) != 0;
}

}  // namespace platform
