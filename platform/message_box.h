// How a program shows a message to its user: a console program writes it to
// standard error, a windowed one installs a message box. Fatal shows the text
// with the program's name as caption and ends the process with exit code 1.
#pragma once

#include <string>

namespace platform {

// Shows the text; returns once the user has seen it.
using MessagePresenter = void (*)(const std::string& caption, const std::string& text);

void SetProgramName(const std::string& name);
std::string ProgramName();

// The default presenter writes "<caption>: <text>" to standard error.
void SetMessagePresenter(MessagePresenter presenter);

void ShowMessageBox(const std::string& text);

[[noreturn]] void Fatal(const std::string& text);

}  // namespace platform
