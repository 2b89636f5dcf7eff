#include <cstring>
#include <string_view>

#include "protocol/limits.h"
#include "protocol/messages.h"
#include "server/record_codes.h"
#include "server/session.h"

namespace {

// How often a reader waiting for room in the event buffer looks for a stop.
constexpr int kStopCheckMs = 50;

bool Post(const SessionReaderParameters* p, const SessionEvent& event) {
    if (!p->stopping) return p->events->Send(event, 1) == 1;
    while (!p->events->SendWithin(event, kStopCheckMs)) {
        if (p->stopping->load()) return false;
    }
    return true;
}

}  // namespace

std::uint32_t session_reader_thread(void* argument) {
    auto* p = static_cast<SessionReaderParameters*>(argument);
    char line[protocol::kMaxLineLength + 1];
    SessionEvent event;
    bool loggingOut = false;
    while (!loggingOut) {
        int length = p->connection->ReceiveLine(line, protocol::kMaxLineLength);
        // The event says only what was read; master_thread knows who the
        // member is when it handles it.
        event.Clear();
        event.session = p->session;
        if (length < 0) {
            event.code = EV_LOGOUT;
            loggingOut = true;
        } else {
            // A zero byte ends the line's field there: no zero byte ever
            // reaches another client.
            const void* zero = std::memchr(line, '\0', static_cast<std::size_t>(length));
            if (zero) length = static_cast<int>(static_cast<const char*>(zero) - line);
            auto text = std::string_view(line, static_cast<std::size_t>(length));
            std::string_view value;
            switch (protocol::ClassifyClientLine(text, &value)) {
                case protocol::ClientRequest::kLogin:
                    event.code = EV_LOGIN;
                    event.SetName(value);
                    break;
                case protocol::ClientRequest::kWhoAreLogin:
                    event.code = EV_WHO;
                    break;
                case protocol::ClientRequest::kMessage:
                    event.code = EV_MESSAGE;
                    event.SetText(value);
                    break;
                case protocol::ClientRequest::kLogout:
                    event.code = EV_LOGOUT;
                    loggingOut = true;
                    break;
                case protocol::ClientRequest::kVoiceStart:
                    event.code = EV_VOICE_START;
                    break;
                case protocol::ClientRequest::kVoiceStop:
                    event.code = EV_VOICE_STOP;
                    break;
                case protocol::ClientRequest::kVoiceData:
                    event.code = EV_VOICE_DATA;
                    event.SetText(value);
                    break;
                case protocol::ClientRequest::kNone:
                    continue;
            }
        }
        if (!Post(p, event)) break;
    }
    return 0;
}
