#include "server_process.h"

#include <string>

#include "support/loopback.h"

namespace clienttest {

std::uint16_t UnusedPort() {
    std::uint16_t port = 0;
    testsupport::ListenOnFreePort(&port);  // closed again at once
    return port;
}

ServerProcess::ServerProcess(const char* program) {
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
        port_ = UnusedPort();
        process_ = std::make_unique<platform::ChildProcess>();
        if (!process_->Start(program, {std::to_string(port_)})) continue;
        started_ = process_->WaitForOutput("The server core has started at port", 15000);
    }
}

ServerProcess::ServerProcess(const char* program, std::uint16_t port, const std::vector<std::string>& environment)
    : process_(std::make_unique<platform::ChildProcess>()), port_(port) {
    started_ = process_->Start(program, {std::to_string(port_)}, environment) &&
               process_->WaitForOutput("The server core has started at port", 15000);
}

ServerProcess::~ServerProcess() {
    if (process_ && process_->IsRunning()) {
        process_->WriteInput("\n");
        int code = 0;
        if (!process_->Wait(10000, &code)) process_->Kill();
    }
}

}  // namespace clienttest
