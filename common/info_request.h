// The informational options both programs understand: a lone --help, -h or
// --version asks for a text instead of running. Any other arguments keep
// their usual meaning, so `orvane 5000` and the port prompt are untouched.
#pragma once

#include <string_view>

enum class InfoRequest { kNone, kHelp, kVersion };

inline InfoRequest InfoRequestFromArguments(int argc, const char* const* argv) {
    if (argc != 2) return InfoRequest::kNone;
    std::string_view argument = argv[1];
    if (argument == "--help" || argument == "-h") return InfoRequest::kHelp;
    if (argument == "--version") return InfoRequest::kVersion;
    return InfoRequest::kNone;
}
