// The application object: sets up the program and runs the main dialog; the
// program ends when the dialog does.
#pragma once

#include <optional>
#include <string>

class CChatClientApp {
public:
    int Run(int argc, char** argv);
};

// Messages of the shared code (fatal errors above all) become message boxes
// captioned with the program's name, shown on the dialog's thread whichever
// thread reports them; the text also goes to standard error.
void InstallMessagePresenter();

// TESSIK_AUTOLOGIN="host:port:name" makes the dialog log in by itself once it
// is shown (for screenshots and demonstrations). The name is everything after
// the second colon and may be empty.
struct AutoLogin {
    std::string host;
    int port = 0;
    std::string name;
};
std::optional<AutoLogin> ParseAutoLogin(const char* value);
