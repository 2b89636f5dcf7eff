#include "server/session_sender.h"

#include <algorithm>

namespace {
constexpr const char* kError = "mutex error at SessionSender";
}  // namespace

void SessionSender::Open(CNetSocket* connection) {
    platform::MutexLock lock(direct_, kError);
    connection_ = connection;
}

void SessionSender::Close(SessionOutbox& outbox) {
    platform::MutexLock lock(direct_, kError);
    outbox.Close();
}

SessionOutbox::Result SessionSender::Offer(SessionOutbox& outbox, const WireRef& record, bool* wakeLater) {
    {
        platform::MutexLock lock(direct_, kError);
        if (connection_ && outbox.ClaimDirectSend(record)) {
            return outbox.FinishDirectSend(record, SendNow(record), wakeLater);
        }
    }
    return outbox.Push(record, wakeLater);
}

std::size_t SessionSender::SendNow(const WireRef& record) {
    platform::SendPiece piece{record->bytes.data(), record->bytes.size()};
    long long sent = platform::SocketSendPieces(connection_->Handle(), &piece, 1, false);
    return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

bool SessionSender::SendAll(const std::vector<WireRef>& records, std::size_t count, std::size_t firstOffset) {
    pieces_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& bytes = records[i]->bytes;
        std::size_t skip = i == 0 ? std::min(firstOffset, bytes.size()) : 0;
        if (bytes.size() > skip) pieces_.push_back({bytes.data() + skip, bytes.size() - skip});
    }
    std::size_t next = 0;
    while (next < pieces_.size()) {
        int n = static_cast<int>(std::min<std::size_t>(pieces_.size() - next, platform::kMaxSendPieces));
        long long sent = platform::SocketSendPieces(connection_->Handle(), &pieces_[next], n);
        if (sent <= 0) return false;
        // Skip what went out; a piece sent in part keeps its rest.
        auto left = static_cast<std::size_t>(sent);
        while (next < pieces_.size() && left >= pieces_[next].length) left -= pieces_[next++].length;
        if (left > 0) {
            pieces_[next].data = static_cast<const char*>(pieces_[next].data) + left;
            pieces_[next].length -= left;
        }
    }
    return true;
}
