// Remembered fields in a private settings folder: the defaults on the first
// start, values that survive from one settings object (one run) to the next,
// and stored values the dialog would refuse falling back field by field.
// Then two dialogs one after the other, as two runs of the program.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

#include <QLineEdit>

#include "client/dialog_layout.h"
#include "client/remembered_fields.h"
#include "client_test_support.h"

namespace {

class RememberedFieldsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        // Where this user's settings live, for this process only.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder_.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder_.path());
    }

    // Stores raw values, as a hand-edited or older settings file might hold.
    void Store(const char* key, const QVariant& value) {
        std::unique_ptr<QSettings> settings = OpenUserSettings();
        settings->setValue(key, value);
        settings->sync();
    }

    QTemporaryDir folder_;
};

TEST_F(RememberedFieldsTest, FirstStartGivesTheDefaults) {
    std::unique_ptr<QSettings> settings = OpenUserSettings();
    RememberedFields fields = LoadRememberedFields(*settings);
    EXPECT_EQ(fields.host, "localhost");
    EXPECT_EQ(fields.name, "(No name)");
    EXPECT_EQ(fields.port, 1024);
}

TEST_F(RememberedFieldsTest, SurviveFromOneRunToTheNext) {
    const RememberedFields saved{"conference.example.org", "山田 花子", 4321};
    {
        std::unique_ptr<QSettings> first = OpenUserSettings();
        SaveRememberedFields(*first, saved);
    }
    // In the user's own settings folder, under the program's name.
    EXPECT_TRUE(QFileInfo(QDir(folder_.path()).filePath("Tessik/Tessik.conf")).isFile());
    std::unique_ptr<QSettings> second = OpenUserSettings();
    EXPECT_EQ(LoadRememberedFields(*second), saved);
}

TEST_F(RememberedFieldsTest, PortsTheDialogWouldRefuseGiveTheDefaultPort) {
    Store("host", "server");
    for (const QVariant& bad : {QVariant(80), QVariant(65536), QVariant(-1), QVariant("abc"), QVariant("2000x")}) {
        Store("port", bad);
        std::unique_ptr<QSettings> settings = OpenUserSettings();
        RememberedFields fields = LoadRememberedFields(*settings);
        EXPECT_EQ(fields.port, 1024) << bad.toString().toStdString();
        // The other fields are kept.
        EXPECT_EQ(fields.host, "server");
    }
    Store("port", 65535);
    std::unique_ptr<QSettings> settings = OpenUserSettings();
    EXPECT_EQ(LoadRememberedFields(*settings).port, 65535);
}

TEST_F(RememberedFieldsTest, NamesOverTheByteLimitGiveTheDefaultName) {
    Store("port", 5000);
    // 15 characters of three bytes each: 45 bytes, the limit.
    const std::string fits = "あいうえおかきくけこさしすせそ";
    Store("name", QString::fromStdString(fits));
    std::unique_ptr<QSettings> settings = OpenUserSettings();
    EXPECT_EQ(LoadRememberedFields(*settings).name, fits);

    Store("name", QString::fromStdString(fits + "a"));
    settings = OpenUserSettings();
    RememberedFields fields = LoadRememberedFields(*settings);
    EXPECT_EQ(fields.name, "(No name)");
    EXPECT_EQ(fields.port, 5000);
}

TEST_F(RememberedFieldsTest, OnlyTheFirstLineOfATextCounts) {
    Store("host", "first\nsecond");
    Store("name", "Taro\r\nlogout");
    std::unique_ptr<QSettings> settings = OpenUserSettings();
    RememberedFields fields = LoadRememberedFields(*settings);
    EXPECT_EQ(fields.host, "first");
    EXPECT_EQ(fields.name, "Taro");
}

struct Shown {
    QString host, name, port;
    bool operator==(const Shown&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Shown& f) {
    return os << f.host.toStdString() << " / " << f.name.toStdString() << " / " << f.port.toStdString();
}

Shown FieldsOf(const CChatClientDlg& d) {
    auto text = [&](int id) { return qobject_cast<QLineEdit*>(d.Control(id))->text(); };
    return {text(tessik::IDC_HOST), text(tessik::IDC_NAME), text(tessik::IDC_PORT)};
}

// Every test starts with a settings folder of its own, not the user's.
TEST(RememberedFieldsInTheDialog, TheFirstStartShowsTheDefaultsFromAPrivateFolder) {
    const QString file = OpenUserSettings()->fileName();
    EXPECT_FALSE(file.startsWith(QDir::homePath() + "/.config")) << file.toStdString();
    EXPECT_FALSE(QFileInfo::exists(file));
    CChatClientDlg dialog;
    EXPECT_EQ(FieldsOf(dialog), (Shown{"localhost", "(No name)", "1024"}));
}

TEST(RememberedFieldsInTheDialog, ALoginsFieldsAreShownAtTheNextStart) {
    clienttest::FakeServer server;
    {
        clienttest::RecordingDialog first;
        first.LoginTo(server.Port(), "山田 花子");
        ASSERT_TRUE(first.dialog.IsLoggedIn());
        server.Accept();
    }
    {
        clienttest::RecordingDialog second;
        EXPECT_EQ(FieldsOf(second.dialog), (Shown{"127.0.0.1", QString::fromUtf8("山田 花子"), QString::number(server.Port())}));
        // A login that fails its field checks is not remembered.
        qobject_cast<QLineEdit*>(second.dialog.Control(tessik::IDC_NAME))->setText("Jiro");
        qobject_cast<QLineEdit*>(second.dialog.Control(tessik::IDC_PORT))->setText("80");
        second.dialog.Login();
        EXPECT_EQ(second.messages.size(), 1u);
        EXPECT_FALSE(second.dialog.IsConnecting());
    }
    clienttest::RecordingDialog third;
    EXPECT_EQ(FieldsOf(third.dialog), (Shown{"127.0.0.1", QString::fromUtf8("山田 花子"), QString::number(server.Port())}));
}

}  // namespace
