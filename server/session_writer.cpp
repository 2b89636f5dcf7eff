#include <string>
#include <vector>

#include "server/message_text.h"
#include "server/record_codes.h"
#include "server/session.h"

namespace {

// Records found waiting together leave in one send, up to about this many
// bytes; the bytes on the wire are the same as one send per record.
constexpr std::size_t kBatchBytes = 32 * 1024;
// Records taken from the buffer in one round on its lock.
constexpr int kTakeRecords = 32;

bool EndsConnection(int code) { return code == MSG_LOGOUT_SUCCEEDED || code == MSG_DISCONNECTED; }

// A partial send goes on with the rest; a failed one gives up, since the
// reader notices the connection's end and the session is closed through it.
void SendAll(CNetSocket* connection, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        int r = connection->Send(text.data() + sent, static_cast<int>(text.size() - sent));
        if (r <= 0) return;
        sent += static_cast<std::size_t>(r);
    }
}

}  // namespace

std::uint32_t session_writer_thread(void* argument) {
    auto* p = static_cast<SessionWriterParameters*>(argument);
    std::vector<OutgoingMessage> taken;
    std::size_t next = 0;
    std::size_t count = 0;
    std::string text;
    text.reserve(kBatchBytes + 4096);
    bool ending = false;
    bool stopped = false;
    while (!ending && !stopped) {
        text.clear();
        // Waits only for the first record of a send; the rest are those
        // already there, taken a handful at a time.
        bool waitForOne = true;
        for (;;) {
            if (next == count) {
                next = 0;
                count = static_cast<std::size_t>(p->outgoing->ReceiveAll(taken, kTakeRecords, waitForOne ? 1 : 0));
                if (count == 0) break;
            }
            waitForOne = false;
            const OutgoingMessage& message = taken[next++];
            if (message.code == MSG_WRITER_STOP) {
                // Someone else closed the session (or never opened it).
                stopped = true;
                break;
            }
            if (AppendMessageText(text, message) && message.code == MSG_LOGIN_SUCCEEDED) {
                // master_thread has stored both already; kept so that a login
                // reply from anywhere leaves the session holding what it says.
                p->session->SetID(message.Count() > 0 ? message.EntryId(0) : 0);
                p->session->SetVoicePass(message.voicePass);
            }
            if (EndsConnection(message.code)) {
                ending = true;
                break;
            }
            if (text.size() >= kBatchBytes) break;
        }
        SendAll(p->connection, text);
    }
    if (ending) p->session->Close();
    return 0;
}
