// The host, name and port the user last logged in with, kept between runs in
// the usual per-user settings place (a file under ~/.config on Linux, the
// registry on Windows). The first start, and any value that would not pass
// the dialog's own checks, gives the defaults the dialog has always shown.
#pragma once

#include <memory>
#include <string>
#include <string_view>

class QSettings;

struct RememberedFields {
    static constexpr std::string_view kDefaultHost = "localhost";
    static constexpr std::string_view kDefaultName = "(No name)";
    static constexpr int kDefaultPort = 1024;

    std::string host{kDefaultHost};
    std::string name{kDefaultName};
    int port = kDefaultPort;

    bool operator==(const RememberedFields&) const = default;
};

// The settings of this user for Tessik.
std::unique_ptr<QSettings> OpenUserSettings();

// Each field on its own: one that is missing or would fail the dialog's check
// (a name over its byte limit, a port that is no number from 1024 to 65535)
// is the default, the others are kept. Only the first line of a text counts.
RememberedFields LoadRememberedFields(QSettings& settings);
// Written at once, so that a crash later does not lose them.
void SaveRememberedFields(QSettings& settings, const RememberedFields& fields);
