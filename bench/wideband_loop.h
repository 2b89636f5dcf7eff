// The wideband run of the voice loop bench: the dialog, once its peer has
// answered the request for wideband voice, records from a file of tone
// bursts at 48 kHz and hears itself; each burst's onset in what was played
// against its onset in what was recorded gives the loop latency.
#pragma once

#include <string>

class CChatClientDlg;

// Runs the talk on a dialog that is logged in; prints a "result" line.
// stallAtMs and stallMs as given to the relay (stallAtMs -1: none). 0 on
// success, else a process exit code.
int RunWidebandLoop(CChatClientDlg& dialog, const std::string& out, int seconds, int stallAtMs, int stallMs);

// The input the dialog records from: silence with a low noise floor, and a
// 20 ms burst of 1 kHz every 250 ms.
bool WriteWidebandInput(const std::string& path, int seconds);
