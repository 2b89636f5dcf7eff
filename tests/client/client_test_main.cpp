// Qt widgets need an application object; without a display the tests run on
// the offscreen platform (also while CTest lists them at build time).
#include <gtest/gtest.h>

#include <QApplication>

#include "client/icons.h"
#include "platform/message_box.h"

// Under LeakSanitizer: what the system's font and display libraries keep for
// the life of the process is not the client's leak.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    tessik::InitResources();
    platform::SetProgramName("Tessik");
    return RUN_ALL_TESTS();
}
