// jitter-relay: forwards TCP connections from a port on 127.0.0.1 to
// another one there, holding back what it forwards by a random amount
// (order kept) and optionally stalling once, for measuring the voice path
// over a bad link. Prints "port N" once it listens.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "relay.h"

namespace {

void Usage() {
    std::fputs(
        "usage: jitter-relay --to PORT [options]   (127.0.0.1 only)\n"
        "  --port P          listen on P (a free port)\n"
        "  --delay MS        base delay (0)\n"
        "  --jitter MS       random extra delay per chunk, 0..MS (0)\n"
        "  --direction D     up, down or both are delayed (both)\n"
        "  --stall-at MS     hold everything delayed from MS after the first connection\n"
        "  --stall MS        for MS (0)\n"
        "  --seed N          random seed (1)\n"
        "  --seconds S       stop after S seconds (600, at most 3600)\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    relay::Options o;
    int seconds = 600;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            Usage();
            return 2;
        }
        const std::string v = argv[++i];
        const int n = std::atoi(v.c_str());
        if (a == "--to") {
            o.targetPort = static_cast<std::uint16_t>(n);
        } else if (a == "--port") {
            o.listenPort = static_cast<std::uint16_t>(n);
        } else if (a == "--delay") {
            o.delayMs = n;
        } else if (a == "--jitter") {
            o.jitterMs = n;
        } else if (a == "--direction") {
            o.delayUp = v == "up" || v == "both";
            o.delayDown = v == "down" || v == "both";
            if (!o.delayUp && !o.delayDown) {
                Usage();
                return 2;
            }
        } else if (a == "--stall-at") {
            o.stallAtMs = n;
        } else if (a == "--stall") {
            o.stallMs = n;
        } else if (a == "--seed") {
            o.seed = static_cast<unsigned>(n);
        } else if (a == "--seconds") {
            seconds = n;
        } else {
            Usage();
            return 2;
        }
    }
    if (seconds < 1 || seconds > 3600) {
        Usage();
        return 2;
    }
    relay::JitterRelay relay;
    std::string error;
    if (!relay.Open(o, &error)) {
        std::fprintf(stderr, "jitter-relay: %s\n", error.c_str());
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(relay.Port()));
    std::fflush(stdout);
    std::atomic<bool> stop{false};
    relay.Run(stop, relay::JitterRelay::Clock::now() + std::chrono::seconds(seconds));
    return 0;
}
