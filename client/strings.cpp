#include "client/strings.h"

namespace tessik {

std::string_view LoadString(int id) {
    switch (id) {
        case IDS_ABOUTBOX: return kAboutMenuText;
        case IDS_NOT_INTEGER: return kNotAnInteger;
        case IDS_INTEGER_RANGE: return kIntegerRange;
        case IDS_TEXT_TOO_LONG: return kTooLong;
        default: return {};
    }
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> arguments) {
    std::string out;
    out.reserve(pattern.size() + 16);
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            size_t index = static_cast<size_t>(pattern[i + 1] - '1');
            if (index < arguments.size()) {
                out += *(arguments.begin() + index);
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace tessik
