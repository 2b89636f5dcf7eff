#include "client/field_checks.h"

#include <cstdint>

#include "client/strings.h"

namespace tessik {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool ParseInteger(std::string_view text, int* value) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    size_t digitsStart = i;
    std::int64_t magnitude = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > std::int64_t{1} << 31) return false;  // beyond any 32-bit value
        ++i;
    }
    if (i == digitsStart) return false;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i != text.size()) return false;
    std::int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX || result < INT32_MIN) return false;
    *value = static_cast<int>(result);
    return true;
}

std::string FirstLine(std::string_view text) {
    size_t end = text.find_first_of(std::string_view("\r\n\0", 3));
    return std::string(text.substr(0, end));
}

FieldCheck CheckIntegerField(std::string_view text, int minimum, int maximum, int* value) {
    int parsed = 0;
    if (!ParseInteger(text, &parsed)) return FieldCheck::kNotInteger;
    if (parsed < minimum || parsed > maximum) return FieldCheck::kOutOfRange;
    *value = parsed;
    return FieldCheck::kOk;
}

FieldCheck CheckTextField(std::string_view text, int limit) {
    return text.size() > static_cast<size_t>(limit) ? FieldCheck::kTooLong : FieldCheck::kOk;
}

std::string FieldCheckMessage(FieldCheck check, int minimumOrLimit, int maximum) {
    switch (check) {
        case FieldCheck::kOk: return {};
        case FieldCheck::kNotInteger: return std::string(LoadString(IDS_NOT_INTEGER));
        case FieldCheck::kOutOfRange:
            return FormatText(LoadString(IDS_INTEGER_RANGE),
                              {std::to_string(minimumOrLimit), std::to_string(maximum)});
        case FieldCheck::kTooLong:
            return FormatText(LoadString(IDS_TEXT_TOO_LONG), {std::to_string(minimumOrLimit)});
    }
    return {};
}

}  // namespace tessik
