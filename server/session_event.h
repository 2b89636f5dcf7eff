// What a session's reader thread reports to master_thread: a request the
// client sent, or that the client went away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CSession;

class SessionEvent {
public:
    int code = 0;
    // The session that posted the event, not owned: direct replies go there.
    CSession* session = nullptr;
    // Which of the session's connections posted it (they are numbered from
    // 1 as the session takes them).
    std::uint64_t connection = 0;
    // The sequence number of an Opus packet (the packet is the text).
    int sequence = 0;

    SessionEvent() = default;
    // Buffers copy records in and out by assignment, so a copy is a full one.
    SessionEvent(const SessionEvent& other) { CopyFrom(other); }
    SessionEvent& operator=(const SessionEvent& other) {
        if (this != &other) CopyFrom(other);
        return *this;
    }

    // Every field zero or absent. Storage already held is kept for the next
    // use, so a record that is received into again and again stops allocating.
    void Clear();
    // Gives back the storage of the name and the text.
    void Release();
    void ReleaseAndClear();
    // A name or text is either absent or present (and then possibly empty).
    void SetName(std::string_view name);
    void SetText(std::string_view text);
    void CopyFrom(const SessionEvent& other);

    bool HasName() const { return hasName_; }
    bool HasText() const { return hasText_; }
    // Empty when absent.
    std::string_view Name() const { return name_; }
    std::string_view Text() const { return text_; }
    // Bytes of string storage the record holds, present or kept for reuse.
    std::size_t ReservedBytes() const { return name_.capacity() + text_.capacity(); }

private:
    bool hasName_ = false;
    bool hasText_ = false;
    std::string name_;
    std::string text_;
};
