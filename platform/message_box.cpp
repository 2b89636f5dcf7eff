#include "platform/message_box.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex nameMutex;
std::string programName = "Orvane";

void ConsolePresenter(const std::string& caption, const std::string& text) {
    std::string line = caption + ": " + text + "\n";
    std::fflush(stdout);
    // Standard error is unbuffered: the line goes out in one piece.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::atomic<MessagePresenter> presenter{&ConsolePresenter};
std::mutex fatalMutex;

}  // namespace

void SetProgramName(const std::string& name) {
    std::lock_guard<std::mutex> lock(nameMutex);
    programName = name;
}

std::string ProgramName() {
    std::lock_guard<std::mutex> lock(nameMutex);
    return programName;
}

void SetMessagePresenter(MessagePresenter p) { presenter.store(p ? p : &ConsolePresenter); }

void ShowMessageBox(const std::string& text) { presenter.load()(ProgramName(), text); }

void Fatal(const std::string& text) {
    // One report at a time; a second failing thread waits here until the
    // process ends.
    fatalMutex.lock();
    ShowMessageBox(text);
    // Other threads may still be running: end without running static
    // destructors under their feet.
    std::_Exit(1);
}

}  // namespace platform
