// The one place that writes to a session's connection. Two threads may: the
// session's writer, which sends what it took from the outbox and may wait
// for the client, and master_thread, which may send a record at once,
// without waiting, while the writer sleeps with nothing waiting (the outbox
// grants that). Either way the client sees one ordered stream of whole
// records.
#pragma once

#include <cstddef>
#include <vector>

#include "common/net_socket.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "server/session_outbox.h"
#include "server/wire_record.h"

class SessionSender {
public:
    SessionSender() = default;
    SessionSender(const SessionSender&) = delete;
    SessionSender& operator=(const SessionSender&) = delete;

    // Sends to this connection from now on. Only while no thread sends
    // (the outbox is closed and the last writer has ended).
    void Open(CNetSocket* connection);
    // Closes the outbox once a direct send under way has ended: from then on
    // none is under way or can start.
    void Close(SessionOutbox& outbox);

    // The record goes out on the caller's thread when the outbox grants it,
    // as much as the connection takes now; what it did not take waits for
    // the writer. Otherwise it is queued as by SessionOutbox::Push.
    SessionOutbox::Result Offer(SessionOutbox& outbox, const WireRef& record, bool* wakeLater);

    // The writer's send: the records' bytes in order, as many as one call
    // takes, going on after a partial send; the first record's first
    // firstOffset bytes went out already. False when the connection failed.
    bool SendAll(const std::vector<WireRef>& records, std::size_t count, std::size_t firstOffset);

private:
    // Sends what the connection takes now; how many bytes went (0 on
    // failure: the writer finds out).
    std::size_t SendNow(const WireRef& record);

    CNetSocket* connection_ = nullptr;
    // Held through a direct send, from the grant to its end.
    platform::Mutex direct_;
    // The writer's alone.
    std::vector<platform::SendPiece> pieces_;
};
