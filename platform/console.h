// Console input and stop requests for a console program.
#pragma once

#include <string>

namespace platform {

// Reads one line from standard input without its line end. False at end of
// input (or on an error) with nothing read.
bool ReadConsoleLine(std::string* line);

// From now on SIGINT and SIGTERM no longer end the process; they are
// reported through WaitForStopRequest, and only the thread that waits there
// takes them. Call before starting any thread, which inherits that.
void InstallStopSignals();

// Blocks until Enter is pressed on standard input or a stop signal arrives.
// End of input does not count: a service manager gives a server no console,
// and the server must keep running until a signal.
void WaitForStopRequest();

}  // namespace platform
