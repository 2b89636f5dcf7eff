#include "client/remembered_fields.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include "client/field_checks.h"
#include "client/strings.h"

namespace {

constexpr const char* kHostKey = "host";
constexpr const char* kNameKey = "name";
constexpr const char* kPortKey = "port";

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The stored text, or nothing when the key is absent or holds no text.
bool StoredText(QSettings& settings, const char* key, std::string* text) {
    QVariant value = settings.value(key);
    if (!value.isValid() || !value.canConvert<QString>()) return false;
    *text = tessik::FirstLine(value.toString().toStdString());
    return true;
}

}  // namespace

std::unique_ptr<QSettings> OpenUserSettings() {
    const QString program = ToQString(tessik::kProgramName);
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, program, program);
}

RememberedFields LoadRememberedFields(QSettings& settings) {
    RememberedFields fields;
    std::string text;
    if (StoredText(settings, kHostKey, &text)) fields.host = text;
    if (StoredText(settings, kNameKey, &text) &&
        tessik::CheckTextField(text, tessik::kNameLimit) == tessik::FieldCheck::kOk) {
        fields.name = text;
    }
    int port = 0;
    if (StoredText(settings, kPortKey, &text) &&
        tessik::CheckIntegerField(text, tessik::kPortMin, tessik::kPortMax, &port) == tessik::FieldCheck::kOk) {
        fields.port = port;
    }
    return fields;
}

void SaveRememberedFields(QSettings& settings, const RememberedFields& fields) {
    settings.setValue(kHostKey, ToQString(fields.host));
    settings.setValue(kNameKey, ToQString(fields.name));
    settings.setValue(kPortKey, fields.port);
    settings.sync();
}
