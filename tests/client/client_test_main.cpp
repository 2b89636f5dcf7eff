// Qt widgets need an application object; without a display the tests run on
// the offscreen platform (also while CTest lists them at build time), and
// without a sound card on SDL's dummy sound driver. The user's settings live
// in a private folder, a fresh one for every test, so that no test reads or
// writes the real user's fields, nor those another test left.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

#include "client/icons.h"
#include "platform/message_box.h"

// Under LeakSanitizer: what the system's font and display libraries keep for
// the life of the process is not the client's leak.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

namespace {

class PrivateSettings : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override {
        folder_ = std::make_unique<QTemporaryDir>();
        for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
            QSettings::setPath(format, QSettings::UserScope, folder_->path());
        }
    }
    void OnTestEnd(const ::testing::TestInfo&) override { folder_.reset(); }

private:
    std::unique_ptr<QTemporaryDir> folder_;
};

}  // namespace

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
    // Programs the tests start (the client among them) inherit this.
    QTemporaryDir configDir;
    if (configDir.isValid()) qputenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit());
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PrivateSettings);
    QApplication app(argc, argv);
    tessik::InitResources();
    platform::SetProgramName("Tessik");
    return RUN_ALL_TESTS();
}
