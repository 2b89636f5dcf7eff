#include <string_view>

#include "protocol/messages.h"
#include "server/record_codes.h"
#include "server/session.h"

namespace {

// Longest line taken from a client, line end not counted.
constexpr int kMaxLineLength = 999;
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
    char line[kMaxLineLength + 1];
    SessionEvent event;
    bool loggingOut = false;
    while (!loggingOut) {
        int length = p->connection->ReceiveLine(line, kMaxLineLength);
        // The event says only what was read; master_thread looks up the
        // member's ID and name when it handles it, so that an event never
        // speaks of an ID the session held earlier or later.
        event.Clear();
        event.session = p->session;
        if (length < 0) {
            event.code = EV_LOGOUT;
            loggingOut = true;
        } else {
            std::string_view value;
            switch (protocol::ClassifyClientLine(std::string_view(line, static_cast<std::size_t>(length)), &value)) {
                case protocol::ClientRequest::kLogin:
                    p->session->SetName(value);
                    event.code = EV_LOGIN;
                    event.SetName(value);
                    break;
                case protocol::ClientRequest::kWhoAreLogin:
                    event.code = EV_WHO;
                    break;
                case protocol::ClientRequest::kWhoAreSpeaking:
                    event.code = EV_WHO_SPEAKING;
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
