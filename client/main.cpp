#include <cstdio>

#include "client/chat_client_app.h"
#include "common/info_request.h"

namespace {

constexpr const char* kUsage =
    "Usage: tessik [QT-OPTION]...\n"
    "Voice and text conference client for the local network.\n"
    "\n"
    "Enter the server's host, your name and the port in the window and log in.\n"
    "The options of every Qt program apply (for example -platform offscreen).\n"
    "\n"
    "  -h, --help   show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "TESSIK_AUTOLOGIN=host:port:name logs in as soon as the window is shown.\n"
    "SDL_AUDIODRIVER chooses the sound driver. See tessik(1).\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before any window or sound device exists, so these work
    // without a display.
    switch (InfoRequestFromArguments(argc, argv)) {
    case InfoRequest::kHelp:
        std::fputs(kUsage, stdout);
        return 0;
    case InfoRequest::kVersion:
        std::printf("Tessik %s\n", ORVANE_VERSION);
        return 0;
    case InfoRequest::kNone:
        break;
    }
    CChatClientApp app;
    return app.Run(argc, argv);
}
