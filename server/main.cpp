// Orvane: the console server of the voice and text conference.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/info_request.h"
#include "platform/console.h"
#include "platform/message_box.h"
#include "server/message_history.h"
#include "server/port.h"
#include "server/server_core.h"

namespace {

void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

constexpr const char* kUsage =
    "Usage: orvane [PORT]\n"
    "Voice and text conference server for the local network.\n"
    "\n"
    "  PORT         TCP port to listen on, 1024 to 65535 (default 1024); any\n"
    "               other value means 1024. Without PORT, or with more than\n"
    "               one argument, the server asks for the port.\n"
    "  -h, --help   show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Enter on the console, SIGINT or SIGTERM stops the server: every member is\n"
    "told \"disconnected\" first. See orvane(1).\n";

}  // namespace

int main(int argc, char** argv) {
    switch (InfoRequestFromArguments(argc, argv)) {
    case InfoRequest::kHelp:
        Print(kUsage);
        return 0;
    case InfoRequest::kVersion:
        Print(std::string("Orvane ") + ORVANE_VERSION + "\n");
        return 0;
    case InfoRequest::kNone:
        break;
    }

    platform::SetProgramName("Orvane");
    Print(std::string("Orvane ") + ORVANE_VERSION + "\n");
    Print("Voice and text conference server for the local network\n");

    std::string portString;
    if (!PortStringFromArguments(argc, argv, &portString)) {
        Print(std::string(kPortPrompt));
        std::string line;
        platform::ReadConsoleLine(&line);  // end of input leaves it empty: the default port
        portString = PortStringFromLine(line);
    }
    std::uint16_t port = PortFromString(portString);

    // Before any thread exists, so that every thread inherits the handling:
    // from here on Ctrl-C and a termination request end the server in order.
    platform::InstallStopSignals();

    CServerCore core(CServerCore::kDefaultSessions);
    // For tests, which cannot wait a minute: ORVANE_LOGIN_LIMIT_MS shortens
    // (or, with 0, lifts) the time a connection may stay without logging in.
    if (const char* limit = std::getenv("ORVANE_LOGIN_LIMIT_MS"); limit && *limit) {
        core.SetLoginLimit(std::atoi(limit));
    }
    // What was said before a member came: the last 50 relayed messages
    // unless ORVANE_HISTORY says otherwise (0 keeps none); only in memory.
    core.SetHistoryLimit(HistoryLimitFromSetting(std::getenv("ORVANE_HISTORY")));
    if (!core.Start(port)) platform::Fatal(core.StartError());

    Print("\n");
    Print("The server core has started at port " + std::to_string(port) + ".\n");
    Print("Please press <Enter> to terminate it.\n");

    platform::WaitForStopRequest();
    core.Shutdown();
    return 0;
}
