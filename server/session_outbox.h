// What waits for one session's writer thread: shared wire records, in the
// order master_thread sent them. A queueing policy only: nothing here touches
// the connection.
//
// Text is never dropped for a live connection; voice gives way. A mixed voice
// frame is worth nothing once it is late, so when more than kMaxVoiceFrames
// wait, the oldest waiting frame goes. Text is bounded by bytes: a client
// with more than kMaxTextBytes of text waiting is hopelessly behind, and the
// outbox refuses everything but the records that end a connection, so that
// its owner can end the connection (and the client knows, instead of
// silently missing chat lines). Nothing here ever waits for room.
//
// Who may write to the connection is decided here alone: the writer, with
// what TakeAll gave it, or, while the writer sleeps with nothing waiting,
// the one thread that was granted a direct send (ClaimDirectSend until
// FinishDirectSend). Such a record costs one send and no thread wake-up;
// under load the writers send instead, many records per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

    // Empty and taking records for a new connection.
    void Open();
    // Refuses records from now on and drops what waits; a writer waiting in
    // TakeAll returns false.
    void Close();

    // Wakes the writer when it sleeps. With wakeLater given, a sleeping
    // writer is not woken but *wakeLater is set, and the caller calls
    // WakeWriter once it has queued everything it has: the writer then
    // sends all of it with one call instead of waking for each record.
    Result Push(const WireRef& record, bool* wakeLater = nullptr);
    void WakeWriter();

    // True when the caller may send the record on the connection itself now:
    // the outbox is open, the writer sleeps with nothing waiting, and the
    // record does not end the connection (those always go through the
    // writer, which closes the session after them). Until FinishDirectSend
    // the writer takes nothing and no one else is granted a send.
    bool ClaimDirectSend(const WireRef& record);
    // After a granted send of which sent bytes went out: the rest, if any,
    // goes first to the writer, followed by what was pushed meanwhile.
    // Wakes as Push does.
    Result FinishDirectSend(const WireRef& record, std::size_t sent, bool* wakeLater = nullptr);

    // Waits until records wait or the outbox is closed, then moves every
    // waiting record, in order, to the end of out; *firstOffset (when
    // given) is how many bytes of the first one have gone out already.
    // False once closed.
    bool TakeAll(std::vector<WireRef>& out, std::size_t* firstOffset = nullptr);

    std::size_t TextBytes();
    // The writer waits in TakeAll with nothing to take.
    bool WriterAsleep();
    std::size_t VoiceFrames();
    // Voice frames dropped because the client was behind, this connection.
    std::uint64_t DroppedVoiceFrames();

private:
    struct Entry {
        std::uint64_t order = 0;
        WireRef record;
    };

    void DropWaiting();
    bool Waiting() const { return rest_ || !text_.Empty() || !voice_.Empty(); }
    // Under the lock: queues the record by its kind. False, with everything
    // dropped, when the text bound was crossed.
    bool Queue(const WireRef& record);
    // Under the lock: whether a sleeping writer must be woken now.
    bool TakeWake();

    platform::Mutex mutex_;
    // Woken once per batch: the writer says when it is about to sleep.
    platform::Semaphore wake_{0, 1};
    // Guarded by mutex_.
    Ring<Entry> text_;
    Ring<Entry> voice_;
    std::uint64_t nextOrder_ = 0;
    std::size_t textBytes_ = 0;
    // The record a direct send left unfinished, and how much of it went.
    WireRef rest_;
    std::size_t restOffset_ = 0;
    std::uint64_t droppedVoice_ = 0;
    bool open_ = false;
    bool overflowed_ = false;
    bool writerAsleep_ = false;
    bool directSending_ = false;
};
