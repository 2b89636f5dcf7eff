// orvane-load: drives a conference server (or, for comparison, a chat relay
// speaking the line protocol of internet relay chat) on 127.0.0.1 with many
// clients from one process, and prints what they saw.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine.h"
#include "payload.h"
#include "platform/net.h"

namespace {

void Usage() {
    std::fputs(
        "usage: orvane-load --port P [options]\n"
        "       orvane-load --free-port     print a free loopback port and exit\n"
        "  --protocol orvane|irc   (orvane)\n"
        "  --clients N             clients (25)\n"
        "  --mode text|voice       (text)\n"
        "  text:  --size B         bytes per text (100)\n"
        "         --rate R         posts per second per client; 0 = as fast as the window allows (0)\n"
        "         --window W       unanswered posts per sender, or unmixed rounds (10)\n"
        "         --seconds S      length of the sending phase (5; at most 600)\n"
        "         --count C        at most C posts per client (no bound)\n"
        "  voice: --speakers K     speaking clients (all)\n"
        "         --rounds R       frames per speaker (1875 = 30 s)\n"
        "         --speed X        multiple of real time; 0 = as fast as the window allows (1)\n"
        "  --quickack              acknowledge every receipt at once\n"
        "  --server-pid PID        report that process's CPU time\n"
        "  --channel NAME          channel for irc (#load)\n"
        "  --login-seconds S       bound for logging in (20)\n"
        "  --drain-seconds S       bound for late deliveries after sending (5)\n",
        stderr);
}

int FreePort() {
    using namespace platform;
    SocketHandle s = SocketCreate(kAfInet, kSockStream, 0);
    if (s == kNoSocket) return -1;
    SockAddrIn a;
    a.family = kAfInet;
    ResolveHost("127.0.0.1", &a.address);
    int port = -1;
    if (SocketBind(s, a) == 0 && SocketGetName(s, &a) == 0) port = NetToHostShort(a.port);
    SocketClose(s);
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    load::Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orvane-load: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--free-port") {
            int port = FreePort();
            if (port < 0) return 1;
            std::printf("%d\n", port);
            return 0;
        } else if (a == "--port") {
            o.port = std::atoi(value());
        } else if (a == "--protocol") {
            std::string p = value();
            if (p == "irc") {
                o.protocol = load::Protocol::kIrc;
            } else if (p == "orvane") {
                o.protocol = load::Protocol::kOrvane;
            } else {
                Usage();
                return 2;
            }
        } else if (a == "--mode") {
            std::string m = value();
            if (m == "voice") {
                o.mode = load::Mode::kVoice;
            } else if (m == "text") {
                o.mode = load::Mode::kText;
            } else {
                Usage();
                return 2;
            }
        } else if (a == "--clients") {
            o.clients = std::atoi(value());
        } else if (a == "--size") {
            o.size = std::atoi(value());
        } else if (a == "--rate") {
            o.rate = std::atof(value());
        } else if (a == "--window") {
            o.window = std::atoi(value());
        } else if (a == "--seconds") {
            o.seconds = std::atof(value());
        } else if (a == "--count") {
            o.count = std::atoll(value());
        } else if (a == "--speakers") {
            o.speakers = std::atoi(value());
        } else if (a == "--rounds") {
            o.rounds = std::atoll(value());
        } else if (a == "--speed") {
            o.speed = std::atof(value());
        } else if (a == "--quickack") {
            o.quickAck = true;
        } else if (a == "--server-pid") {
            o.serverPid = std::atoi(value());
        } else if (a == "--channel") {
            o.channel = value();
        } else if (a == "--login-seconds") {
            o.loginSeconds = std::atof(value());
        } else if (a == "--drain-seconds") {
            o.drainSeconds = std::atof(value());
        } else {
            Usage();
            return 2;
        }
    }
    if (o.port <= 0 || o.port > 65535 || o.clients < 1 || o.clients > 1000 || o.size < load::kTextHeaderLength ||
        o.size > 900) {
        Usage();
        return 2;
    }
    // Every run stops by itself.
    if (o.seconds <= 0 || o.seconds > 600) o.seconds = 600;
    if (o.rounds < 1 || o.rounds > 1000000) o.rounds = 1000000;
    if (o.loginSeconds <= 0 || o.loginSeconds > 120) o.loginSeconds = 120;
    if (o.drainSeconds < 0 || o.drainSeconds > 60) o.drainSeconds = 60;

    load::Report r = load::Run(o);
    std::fputs(load::FormatHuman(o, r).c_str(), stderr);
    std::printf("%s\n", load::FormatMachine(o, r).c_str());
    return r.loggedIn && r.error.empty() ? 0 : 1;
}
