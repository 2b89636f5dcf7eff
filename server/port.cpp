#include "server/port.h"

#include "protocol/messages.h"

std::uint16_t PortFromString(std::string_view text) {
    int value = protocol::ParseNumber(text);
    if (value < 1024 || value > 65535) return kDefaultPort;
    return static_cast<std::uint16_t>(value);
}

bool PortStringFromArguments(int argc, const char* const* argv, std::string* portString) {
    if (argc != 2) return false;
    *portString = argv[1];
    return true;
}

std::string PortStringFromLine(std::string_view line) { return std::string(line.substr(0, kPortInputLength)); }
