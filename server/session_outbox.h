// What waits for one session's writer thread: shared wire records, in the
// order master_thread sent them.
//
// Text is never dropped for a live connection; voice gives way. A mixed voice
// frame is worth nothing once it is late, so when more than kMaxVoiceFrames
// wait, the oldest waiting frame goes. Text is bounded by bytes: a client
// with more than kMaxTextBytes of text waiting is hopelessly behind, and the
// outbox refuses everything but the records that end a connection, so that
// its owner can end the connection (and the client knows, instead of
// silently missing chat lines). Nothing here ever waits for room.
//
// While the server is not busy a writer is woken only for a backlog: when it
// sleeps with nothing waiting, Push may offer the record to the connection
// at once, without waiting, and queue for the writer only what the
// connection did not take. Such a record costs one send and no thread
// wake-up. Under load the writers send instead, many records per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/net_socket.h"
#include "common/ring.h"
#include "platform/sync.h"
#include "server/wire_record.h"

class SessionOutbox {
public:
    // About a second of voice (64 frames of 16 ms): a listener further
    // behind hears the newest second rather than ever older sound.
    static constexpr std::size_t kMaxVoiceFrames = 64;
    // Text a client may have waiting before it counts as hopelessly behind:
    // some thousands of chat lines, the bound IRC servers use too.
    static constexpr std::size_t kMaxTextBytes = 1024 * 1024;

    enum class Result {
        kQueued,
        // Closed, or past the text bound: not queued.
        kRefused,
        // This record took the text past the bound: it and everything
        // waiting were dropped, and only ending records are taken from now
        // on. Reported once per connection.
        kOverflow,
    };

    SessionOutbox();
    SessionOutbox(const SessionOutbox&) = delete;
    SessionOutbox& operator=(const SessionOutbox&) = delete;

    // Empty and taking records for a new connection. Null: records always
    // wait for the writer.
    void Open(CNetSocket* connection = nullptr);
    // Refuses records from now on and drops what waits; a writer waiting in
    // TakeAll returns false.
    void Close();

    // Wakes the writer when it sleeps. With wakeLater given, a sleeping
    // writer is not woken but *wakeLater is set, and the caller calls
    // WakeWriter once it has queued everything it has: the writer then
    // sends all of it with one call instead of waking for each record.
    // sendNow: the record may go out on the caller's thread (see above).
    Result Push(const WireRef& record, bool* wakeLater = nullptr, bool sendNow = false);
    void WakeWriter();

    // Waits until records wait or the outbox is closed, then moves every
    // waiting record, in order, to the end of out; *firstOffset (when
    // given) is how many bytes of the first one have gone out already.
    // False once closed.
    bool TakeAll(std::vector<WireRef>& out, std::size_t* firstOffset = nullptr);

    std::size_t TextBytes();
    std::size_t VoiceFrames();
    // Voice frames dropped because the client was behind, this connection.
    std::uint64_t DroppedVoiceFrames();

private:
    struct Entry {
        std::uint64_t order = 0;
        WireRef record;
    };

    void DropWaiting();
    // With the writer asleep and nothing waiting, sends what the connection
    // takes now; how many bytes went (0 on failure: the writer finds out).
    std::size_t SendNow(const WireRef& record);

    platform::Mutex mutex_;
    // Woken once per batch: the writer says when it is about to sleep.
    platform::Semaphore wake_{0, 1};
    // Guarded by mutex_.
    Ring<Entry> text_;
    Ring<Entry> voice_;
    std::uint64_t nextOrder_ = 0;
    std::size_t textBytes_ = 0;
    CNetSocket* connection_ = nullptr;
    // Bytes of the oldest waiting text already sent by SendNow.
    std::size_t firstOffset_ = 0;
    std::uint64_t droppedVoice_ = 0;
    bool open_ = false;
    bool overflowed_ = false;
    bool writerAsleep_ = false;
};
