#include "platform/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/console_input.h"

namespace platform {
namespace {

// The program's lines go out as written, "\n" and all, whether to a console,
// a pipe or a file: the same bytes as on other systems.
const bool binaryOutput = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

// Set by Enter, Ctrl+C, Ctrl+Break, closing the console window, logging off
// or shutting down; never reset.
HANDLE StopEvent() {
    static HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    ::SetEvent(StopEvent());
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this handler returns (and
        // after a few seconds in any case): hold it here while the main
        // thread shuts the server down and ends the process itself.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

// Watches standard input for Enter. It may stay blocked in a read for good,
// so it is never joined: the process ends without waiting for it.
DWORD WINAPI WatchInput(LPVOID) {
    char c;
    while (ReadInputByte(&c)) {
        if (c == '\n' || c == '\r') {
            ::SetEvent(StopEvent());
            return 0;
        }
    }
    // End of input: keep serving until another stop request.
    return 0;
}

}  // namespace

bool ReadInputByte(char* c) {
    (void)binaryOutput;
    DWORD got = 0;
    return ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), c, 1, &got, nullptr) && got == 1;
}

void InstallStopSignals() {
    StopEvent();
    // A parent may have passed on the setting that ignores Ctrl+C.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

void WaitForStopRequest() {
    HANDLE stop = StopEvent();
    HANDLE watcher = ::CreateThread(nullptr, 0, &WatchInput, nullptr, 0, nullptr);
    if (watcher) ::CloseHandle(watcher);
    ::WaitForSingleObject(stop, INFINITE);
}

}  // namespace platform
