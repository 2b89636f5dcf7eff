// The load generator: N clients on one event loop against a server on
// 127.0.0.1. They log in, then post texts (at a rate, or as fast as a window
// of unanswered posts allows) or speak (frames every 16 ms divided by a speed,
// or as fast as a window of unmixed rounds allows), read everything they
// receive, and count deliveries, latency, losses and reordering. Every run is
// bounded in count and in time.
#pragma once

#include <cstdint>
#include <string>

namespace load {

enum class Protocol { kOrvane, kIrc };
enum class Mode { kText, kVoice };

struct Options {
    Protocol protocol = Protocol::kOrvane;
    Mode mode = Mode::kText;
    int port = 0;
    int clients = 25;
    // Text: bytes per posted text, posts per second per client (0: as fast as
    // the window allows), unanswered posts per sender, sending time, and an
    // optional bound on posts per client (0: none).
    int size = 100;
    double rate = 0;
    int window = 10;
    double seconds = 5;
    std::int64_t count = 0;
    // Voice: speakers among the clients (0: all), rounds to send, speed as a
    // multiple of real time (0: as fast as the window of unmixed rounds allows).
    int speakers = 0;
    std::int64_t rounds = 1875;
    double speed = 1;
    // Acknowledge every receipt at once (TCP_QUICKACK).
    bool quickAck = false;
    // The server's process, for its CPU time; 0 for none.
    int serverPid = 0;
    double loginSeconds = 20;
    double drainSeconds = 5;
    std::string channel = "#load";
    bool verbose = false;
};

struct Report {
    bool loggedIn = false;
    std::string error;
    int clients = 0;
    double seconds = 0;  // the sending phase
    std::int64_t posts = 0;
    std::int64_t deliveries = 0;        // received during the sending phase
    std::int64_t deliveriesTotal = 0;   // including the drain afterwards
    std::int64_t expected = 0;          // deliveries that every post should make
    std::int64_t lost = 0;
    std::int64_t outOfOrder = 0;
    std::int64_t corrupt = 0;           // voice frames mixed from different rounds
    std::int64_t rounds = 0;            // voice rounds sent
    std::int64_t p50 = 0, p99 = 0, max = 0;  // microseconds
    double serverCpuSeconds = -1;
    double toolCpuSeconds = -1;
};

Report Run(const Options& options);

// One line of key=value pairs for scripts, and a few lines for people.
std::string FormatMachine(const Options& options, const Report& report);
std::string FormatHuman(const Options& options, const Report& report);

}  // namespace load
