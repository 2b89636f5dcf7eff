// The wideband run of the voice loop bench: two real dialogs in one
// process, a speaker and a listener, both asking for wideband voice. The
// server sends a wideband speaker the mix without its own voice, so the
// speaker cannot hear itself: the listener's playback of the speaker is what
// is measured. The speaker records from a file of tone bursts at 48 kHz, one
// every 250 ms, each burst's pitch telling which of eight it is; each
// burst's onset in what the listener played against its onset in what the
// speaker recorded gives the loop latency. SDL's disk driver takes its files
// from the environment when a device opens, so each dialog is logged in (and
// its devices opened, at login and again at the server's wideband answer)
// with its own files set.
#pragma once

#include <string>

struct WidebandLoopOptions {
    int speakerPort = 0;   // the server
    int listenerPort = 0;  // the relay in front of it
    int seconds = 60;
    int stallAtMs = -1;    // as given to the relay (from the listener's connection); -1: none
    int stallMs = 0;
    std::string dir;
};

// Runs the talk; prints a "result" line, a "parts" line and, for a stall,
// a "timeline" line. 0 on success, else a process exit code.
int RunWidebandLoop(const WidebandLoopOptions& options);
