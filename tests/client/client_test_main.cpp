// Qt widgets need an application object; without a display the tests run on
// the offscreen platform (also while CTest lists them at build time), and
// without a sound card on SDL's dummy sound driver.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "client/icons.h"
#include "platform/message_box.h"

// Under LeakSanitizer: what the system's font and display libraries keep for
// the life of the process is not the client's leak.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Every login opens capture and playback. SDL's dummy driver records
    // silence and plays into nothing, so no test waits on a sound server or
    // an "Open error" box; tests that need sound of their own choose the disk
    // driver themselves.
    if (!qEnvironmentVariableIsSet("SDL_AUDIODRIVER")) qputenv("SDL_AUDIODRIVER", "dummy");
    // Qt warns on every start without a runtime folder: give it a private one.
    QTemporaryDir runtimeDir;
    if (!qEnvironmentVariableIsSet("XDG_RUNTIME_DIR") && runtimeDir.isValid()) {
        qputenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit());
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    tessik::InitResources();
    platform::SetProgramName("Tessik");
    return RUN_ALL_TESTS();
}
