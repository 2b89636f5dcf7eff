// The checks that reading the dialog's fields applies, without any widget:
// the port must be a whole decimal number within its range, the name must fit
// its byte limit. Each failed check has its message text.
#pragma once

#include <string>
#include <string_view>

namespace tessik {

// A signed decimal integer, blanks around it allowed, nothing else. False for
// anything else, a value outside 32 bits included.
bool ParseInteger(std::string_view text, int* value);

enum class FieldCheck { kOk, kNotInteger, kOutOfRange, kTooLong };

// Reads an integer field that must lie in [minimum, maximum].
FieldCheck CheckIntegerField(std::string_view text, int minimum, int maximum, int* value);
// A text field that must have at most limit bytes.
FieldCheck CheckTextField(std::string_view text, int limit);

// The text up to its first line break or zero byte: a field goes on the wire
// as one line, whatever was pasted into it.
std::string FirstLine(std::string_view text);

// What the user is told when a check fails (empty for kOk). For kOutOfRange
// the range, for kTooLong the limit, fill the message's placeholders.
std::string FieldCheckMessage(FieldCheck check, int minimumOrLimit = 0, int maximum = 0);

}  // namespace tessik
