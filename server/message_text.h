// The protocol text a session's writer sends for one outgoing record.
#pragma once

#include <string>

#include "server/outgoing_message.h"

// Appends the record's text to out. False, and nothing appended, for a code
// that has no text on the wire.
bool AppendMessageText(std::string& out, const OutgoingMessage& message);
