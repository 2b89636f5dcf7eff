// What a session's writer thread turns into protocol text: a reply or an
// announcement from master_thread, or the shutdown notice from the core.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class OutgoingMessage {
public:
    int code = 0;
    // Used by the login reply only.
    int voicePass = 0;

    OutgoingMessage() = default;
    // Buffers copy records in and out by assignment, so a copy is a full one.
    OutgoingMessage(const OutgoingMessage& other) { CopyFrom(other); }
    OutgoingMessage& operator=(const OutgoingMessage& other) {
        if (this != &other) CopyFrom(other);
        return *this;
    }

    // Every field zero or absent. Storage already held is kept for the next
    // use, so a record that is received into again and again stops allocating.
    void Clear();
    // Gives back the storage of every entry and the text.
    void Release();
    void ReleaseAndClear();
    // Drops all entries and the text, then makes n entries with no name and
    // ID 0. Code and VoicePass stay.
    void Resize(int n);
    // An index outside 0 .. Count() - 1 changes nothing. Without a name the
    // entry's name stays as it was.
    void SetEntry(int index, int id);
    void SetEntry(int index, int id, std::string_view name);
    void SetText(std::string_view text);
    void CopyFrom(const OutgoingMessage& other);

    int Count() const { return count_; }
    int EntryId(int index) const { return entries_[static_cast<std::size_t>(index)].id; }
    // Absent names are distinct from empty ones.
    bool EntryHasName(int index) const { return entries_[static_cast<std::size_t>(index)].hasName; }
    // Empty when absent.
    std::string_view EntryName(int index) const { return entries_[static_cast<std::size_t>(index)].name; }
    bool HasText() const { return hasText_; }
    std::string_view Text() const { return text_; }
    // Bytes of storage the record holds, present or kept for reuse.
    std::size_t ReservedBytes() const;

private:
    struct Entry {
        int id = 0;
        bool hasName = false;
        std::string name;
    };

    // entries_ may hold more than count_ entries: the ones past count_ only
    // keep their storage for a later Resize.
    std::vector<Entry> entries_;
    int count_ = 0;
    bool hasText_ = false;
    std::string text_;
};
