// master_thread: the loop around the conference. It takes the sessions'
// events one at a time, in arrival order, has the Conference decide on each,
// and applies the decisions to the sessions: records queued for them (sent
// at once when nothing else waits, otherwise left to the writers, which are
// woken once per batch), connections ended. It also runs the login-limit
// check on its own clock.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/conference.h"
#include "server/session.h"
#include "server/wire_record.h"

struct MasterParameters {
    CSession* const* sessions = nullptr;
    int sessionCount = 0;
    EventBuffer* events = nullptr;
    // Set once the server has begun to shut down: events are dropped from
    // then on, so that "disconnected" is the last thing every client gets
    // (not the departures that the closing connections cause).
    const std::atomic<bool>* disconnecting = nullptr;
    // The thread ends soon after this is set. Null: it never ends.
    const std::atomic<bool>* stopping = nullptr;
    // Where relayed records come from and go back to; null: each is made
    // afresh.
    WireRecordPool* pool = nullptr;
    // 0 or less: connections may stay without logging in.
    int loginLimitMs = kLoginLimitMs;
    // Relayed messages kept for members who ask what was said before them.
    int historyLimit = MessageHistory::kDefaultLimit;
};

std::uint32_t master_thread(void* parameters);
