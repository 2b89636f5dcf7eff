// One connection slot of the server. While a client is connected the session
// owns the connection, remembers the member's ID, VoicePass and name, and runs
// a reader thread (client lines -> events for master_thread) and a writer
// thread (outgoing records -> protocol text). Every operation takes the
// session's own mutex, since the entry thread, master_thread, the shutdown and
// the session's two threads all use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/net_socket.h"
#include "common/thread_communication_buffer.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "server/outgoing_message.h"
#include "server/session_event.h"

using EventBuffer = CThreadCommunicationBuffer<SessionEvent>;
using OutgoingBuffer = CThreadCommunicationBuffer<OutgoingMessage>;

class CSession;

struct SessionWriterParameters {
    CNetSocket* connection = nullptr;
    OutgoingBuffer* outgoing = nullptr;
    CSession* session = nullptr;
};

struct SessionReaderParameters {
    CNetSocket* connection = nullptr;
    EventBuffer* events = nullptr;
    CSession* session = nullptr;
    // Set when the server shuts down: a reader waiting for room in the event
    // buffer gives up then. Null: wait as long as it takes.
    const std::atomic<bool>* stopping = nullptr;
};

// Takes records from the session's outgoing buffer and sends their text until
// "logout succeeded" or "disconnected" has gone out, then closes the session.
std::uint32_t session_writer_thread(void* parameters);
// Reads the client's lines and posts an event for each request until the
// client logs out or the connection ends.
std::uint32_t session_reader_thread(void* parameters);

class CSession {
public:
    static constexpr int kBufferSlots = 256;
    static constexpr int kNameLength = 49;
    // Outgoing slots that only the records ending a connection ("logout
    // succeeded", "disconnected", and the writer's stop from Close) may take.
    // A client that stops reading loses ordinary records once its buffer is
    // full, but its session still ends when it leaves or the server shuts
    // down.
    static constexpr int kEndingSlots = 3;

    explicit CSession(const std::atomic<bool>* stopping = nullptr);
    // Takes no lock and does not stop threads: the owner has made sure that
    // both threads of the last connection have ended (WaitForThreads).
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Takes over the connection when the session is free and starts its two
    // threads. On failure the connection stays with the caller.
    bool Open(std::unique_ptr<CNetSocket>& connection, EventBuffer* eventBuffer);
    // Ends the connection (a thread blocked on it returns) and frees the slot.
    // The writer sends nothing more once it has gone through what is queued,
    // and ends. False when the session was free.
    bool Close();
    // Each of ID, VoicePass and name is set once per connection: a setter
    // only fills a field that is still empty, and only while occupied.
    void SetID(int id);
    void SetVoicePass(int voicePass);
    // Keeps at most the first 49 characters.
    void SetName(std::string_view name);
    // The member has left (its logout is being answered): from now on the
    // session counts as having no member, so its ID is free and it is in no
    // list, while the writer still delivers "logout succeeded".
    void SetLeaving();
    // Always writes the stored ID; true only while occupied with an ID and
    // not leaving.
    bool GetID(int* id);
    bool GetVoicePass(int* voicePass);
    // Copies at most n characters of the stored name; true while occupied
    // and not leaving.
    // Without a stored name the string is left as it was and the result is
    // false.
    bool GetName(std::string* name, int n);
    bool IsOccupied();
    // Queues a copy for the writer without waiting. False when the session is
    // free or its buffer is full; the record is then lost for this session.
    bool SendMessage(const OutgoingMessage& message);

    // Waits until both threads of the last connection have ended. Call only
    // once they have been told to end (the writer got its last record and the
    // connection is closed).
    void WaitForThreads();
    // Records waiting for the writer.
    int PendingMessages() { return outgoing_.GetSize(); }

private:
    void Lock(const char* error);
    void Unlock(const char* error);

    platform::Thread writerThread_;
    platform::Thread readerThread_;
    SessionWriterParameters writerParameters_;
    SessionReaderParameters readerParameters_;
    platform::Mutex mutex_;
    // Guarded by mutex_.
    int id_ = 0;
    int voicePass_ = 0;
    bool hasName_ = false;
    std::string name_;
    bool occupied_ = false;
    bool leaving_ = false;
    std::unique_ptr<CNetSocket> connection_;
    OutgoingBuffer outgoing_{kBufferSlots};
    EventBuffer* eventBuffer_ = nullptr;
    const std::atomic<bool>* stopping_;
};
