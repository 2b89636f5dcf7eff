// The real server program on a free loopback port, for tests that run
// dialogs against it. Ended with Enter (its orderly way) at destruction, or
// killed when it does not end in time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/tools/process.h"

namespace clienttest {

// A loopback port that nothing listens on (taken from the system and
// released again at once).
std::uint16_t UnusedPort();

class ServerProcess {
public:
    // Starts the program at the path; retries on another port should the
    // chosen one be taken meanwhile.
    explicit ServerProcess(const char* program);
    // Starts the program on that port (one used before, for a server that
    // comes back), with extra "NAME=value" environment entries.
    ServerProcess(const char* program, std::uint16_t port, const std::vector<std::string>& environment = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Started() const { return started_; }
    std::uint16_t Port() const { return port_; }
    platform::ChildProcess& Process() { return *process_; }

private:
    std::unique_ptr<platform::ChildProcess> process_;
    std::uint16_t port_ = 0;
    bool started_ = false;
};

}  // namespace clienttest
