// Remembered fields in a private settings folder: the defaults on the first
// start, values that survive from one settings object (one run) to the next,
// and stored values the dialog would refuse falling back field by field.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

#include "client/remembered_fields.h"

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

}  // namespace
