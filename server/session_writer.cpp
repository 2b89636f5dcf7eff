#include <algorithm>
#include <vector>

#include "server/session.h"

namespace {

// Sends the records' bytes in order, as many as one call takes, going on
// after a partial send. False when the connection failed: the reader notices
// its end, and the session is closed through the logout.
// The first record's first firstOffset bytes went out already.
bool SendAll(CNetSocket* connection, const std::vector<WireRef>& records, std::size_t count, std::size_t firstOffset,
             std::vector<platform::SendPiece>& pieces) {
    pieces.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& bytes = records[i]->bytes;
        std::size_t skip = i == 0 ? std::min(firstOffset, bytes.size()) : 0;
        if (bytes.size() > skip) pieces.push_back({bytes.data() + skip, bytes.size() - skip});
    }
    std::size_t next = 0;
    while (next < pieces.size()) {
        int n = static_cast<int>(std::min<std::size_t>(pieces.size() - next, platform::kMaxSendPieces));
        long long sent = platform::SocketSendPieces(connection->Handle(), &pieces[next], n);
        if (sent <= 0) return false;
        // Skip what went out; a piece sent in part keeps its rest.
        auto left = static_cast<std::size_t>(sent);
        while (next < pieces.size() && left >= pieces[next].length) left -= pieces[next++].length;
        if (left > 0) {
            pieces[next].data = static_cast<const char*>(pieces[next].data) + left;
            pieces[next].length -= left;
        }
    }
    return true;
}

}  // namespace

std::uint32_t session_writer_thread(void* argument) {
    auto* p = static_cast<SessionWriterParameters*>(argument);
    std::vector<WireRef> taken;
    std::vector<platform::SendPiece> pieces;
    bool ending = false;
    bool connected = true;
    while (!ending) {
        taken.clear();
        // Someone else closed the session (or never opened it): nothing more
        // to send.
        std::size_t firstOffset = 0;
        if (!p->outbox->TakeAll(taken, &firstOffset)) break;
        // Nothing after a record that ends the connection goes out.
        std::size_t count = 0;
        while (count < taken.size() && !ending) ending = taken[count++]->EndsConnection();
        // Once a send has failed the client is gone; what follows is only
        // taken and dropped until the logout reply ends the session.
        if (connected) connected = SendAll(p->connection, taken, count, firstOffset, pieces);
    }
    taken.clear();
    if (ending) p->session->Close();
    return 0;
}
