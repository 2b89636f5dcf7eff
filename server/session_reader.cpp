#include <cstring>
#include <string_view>
#include <vector>

#include "protocol/limits.h"
#include "protocol/messages.h"
#if ORVANE_HAVE_WIDEBAND
#include "protocol/wideband_messages.h"
#endif
#include "server/record_codes.h"
#include "server/session.h"

namespace {

// How often a reader waiting for room in the event buffer looks for a stop.
constexpr int kStopCheckMs = 50;
// Events made from lines that arrived together and posted together, so that
// master_thread is woken once for them rather than once per line.
constexpr int kEventsPerPost = 16;

// Posts the first n events in order; false when the server stops first.
bool Post(const SessionReaderParameters* p, const std::vector<SessionEvent>& events, int n) {
    int sent = 0;
    while (sent < n) {
        sent += p->events->SendManyWithin(events, sent, n - sent, p->stopping ? kStopCheckMs : platform::kWaitForever);
        if (sent < n && p->stopping && p->stopping->load()) return false;
    }
    return true;
}

// The wideband requests, where the server speaks wideband; elsewhere they
// are unknown lines. An "Opus Data" line that is not exactly a sequence
// number and a packet (a cut over-long line included) makes no event.
bool Wideband([[maybe_unused]] std::string_view line, [[maybe_unused]] SessionEvent& event) {
#if ORVANE_HAVE_WIDEBAND
    std::string_view value;
    switch (protocol::ClassifyWidebandClientLine(line, &value)) {
        case protocol::WidebandRequest::kVoiceCodec:
            event.code = EV_VOICE_CODEC;
            return true;
        case protocol::WidebandRequest::kOpusData: {
            protocol::OpusData data;
            if (!protocol::ParseOpusDataValue(value, data)) return false;
            event.code = EV_OPUS_DATA;
            event.sequence = data.sequence;
            event.SetText(data.packet);
            return true;
        }
        case protocol::WidebandRequest::kNone:
            break;
    }
#endif
    return false;
}

}  // namespace

std::uint32_t session_reader_thread(void* argument) {
    auto* p = static_cast<SessionReaderParameters*>(argument);
    char line[protocol::kMaxLineLength + 1];
    std::vector<SessionEvent> batch(kEventsPerPost);
    int pending = 0;
    bool loggingOut = false;
    while (!loggingOut) {
        // Lines already here join the batch; before waiting for the network
        // the batch goes out.
        if (pending > 0 && (pending == kEventsPerPost || !p->connection->HasBufferedLine(protocol::kMaxLineLength))) {
            if (!Post(p, batch, pending)) return 0;
            pending = 0;
        }
        int length = p->connection->ReceiveLine(line, protocol::kMaxLineLength);
        // The event says only what was read; the Conference knows who the
        // member is when it handles it.
        SessionEvent& event = batch[static_cast<std::size_t>(pending)];
        event.Clear();
        event.session = p->session;
        event.connection = p->connectionNumber;
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
                case protocol::ClientRequest::kMessageHistory:
                    event.code = EV_MESSAGE_HISTORY;
                    break;
                case protocol::ClientRequest::kNone:
                    if (!Wideband(text, event)) continue;
                    break;
            }
        }
        ++pending;
    }
    Post(p, batch, pending);
    return 0;
}
