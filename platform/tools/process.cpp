// What child processes do the same way on every system, built on the
// system's own CloseAll and ReadOutput.
#include "platform/tools/process.h"

#include <chrono>
#include <utility>

namespace platform {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        CloseAll();
        pid_ = other.pid_;
        in_ = other.in_;
        out_ = other.out_;
        err_ = other.err_;
        reaped_ = other.reaped_;
        exitCode_ = other.exitCode_;
        handle_ = other.handle_;
        other.pid_ = other.in_ = other.out_ = other.err_ = -1;
        other.handle_ = nullptr;
    }
    return *this;
}

ChildProcess::~ChildProcess() { CloseAll(); }

bool ChildProcess::WaitForOutput(const std::string& needle, int timeoutMs, std::string* everything) {
    std::string local;
    std::string& text = everything ? *everything : local;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (text.find(needle) != std::string::npos) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!ReadOutput(&text, static_cast<int>(left.count() < 100 ? left.count() : 100))) {
            return text.find(needle) != std::string::npos;
        }
    }
}

}  // namespace platform
