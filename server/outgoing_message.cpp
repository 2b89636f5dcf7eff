#include "server/outgoing_message.h"

void OutgoingMessage::Clear() {
    code = 0;
    voicePass = 0;
    count_ = 0;
    hasText_ = false;
    text_.clear();
}

void OutgoingMessage::Release() {
    std::vector<Entry>().swap(entries_);
    std::string().swap(text_);
    count_ = 0;
    hasText_ = false;
}

void OutgoingMessage::ReleaseAndClear() {
    Release();
    Clear();
}

void OutgoingMessage::Resize(int n) {
    if (n < 0) n = 0;
    if (entries_.size() < static_cast<std::size_t>(n)) entries_.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        Entry& e = entries_[static_cast<std::size_t>(i)];
        e.id = 0;
        e.hasName = false;
        e.name.clear();
    }
    count_ = n;
    hasText_ = false;
    text_.clear();
}

void OutgoingMessage::SetEntry(int index, int id) {
    if (index < 0 || index >= count_) return;
    entries_[static_cast<std::size_t>(index)].id = id;
}

void OutgoingMessage::SetEntry(int index, int id, std::string_view name) {
    if (index < 0 || index >= count_) return;
    Entry& e = entries_[static_cast<std::size_t>(index)];
    e.id = id;
    e.name.assign(name);
    e.hasName = true;
}

void OutgoingMessage::SetText(std::string_view text) {
    text_.assign(text);
    hasText_ = true;
}

void OutgoingMessage::CopyFrom(const OutgoingMessage& other) {
    // Clear rather than release: assigning into the storage already held
    // keeps a slot or a receiving record from allocating on every copy.
    Clear();
    code = other.code;
    Resize(other.count_);
    for (int i = 0; i < other.count_; ++i) {
        const Entry& e = other.entries_[static_cast<std::size_t>(i)];
        if (e.hasName) {
            SetEntry(i, e.id, e.name);
        } else {
            SetEntry(i, e.id);
        }
    }
    voicePass = other.voicePass;
    if (other.hasText_) SetText(other.text_);
}

std::size_t OutgoingMessage::ReservedBytes() const {
    std::size_t bytes = entries_.capacity() * sizeof(Entry) + text_.capacity();
    for (const Entry& e : entries_) bytes += e.name.capacity();
    return bytes;
}
