// master_thread: the one place where the server decides anything. It takes
// the sessions' events one at a time, in arrival order, and answers each by
// queueing records for one session or for every session. It alone knows who
// each member is (ID, VoicePass, name), assigns IDs and VoicePasses, relays
// text, answers member list requests, announces logins and logouts, runs the
// voice mixer, and ends connections that never log in or fall hopelessly
// behind.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/session.h"
#include "server/wire_record.h"

// How long a connection may stay without sending "login:" before it is
// closed, so that connections that never log in cannot hold every slot.
inline constexpr int kLoginLimitMs = 60 * 1000;

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
};

std::uint32_t master_thread(void* parameters);

// The VoicePass a member with this ID receives: 0 to 255, always the same
// for the same ID.
int VoicePassFor(int id);
