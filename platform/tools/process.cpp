// What child processes do the same way on every system, built on the
// system's own ReadOutput.
#include "platform/tools/process.h"

#include <chrono>

namespace platform {

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
