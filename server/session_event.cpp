#include "server/session_event.h"

void SessionEvent::Clear() {
    code = 0;
    session = nullptr;
    connection = 0;
    sequence = 0;
    hasName_ = false;
    hasText_ = false;
    name_.clear();
    text_.clear();
}

void SessionEvent::Release() {
    std::string().swap(name_);
    std::string().swap(text_);
    hasName_ = false;
    hasText_ = false;
}

void SessionEvent::ReleaseAndClear() {
    Release();
    Clear();
}

void SessionEvent::SetName(std::string_view name) {
    name_.assign(name);
    hasName_ = true;
}

void SessionEvent::SetText(std::string_view text) {
    text_.assign(text);
    hasText_ = true;
}

void SessionEvent::CopyFrom(const SessionEvent& other) {
    // Clear rather than release: assigning into the storage already held
    // keeps a slot or a receiving record from allocating on every copy.
    Clear();
    code = other.code;
    if (other.hasName_) SetName(other.name_);
    if (other.hasText_) SetText(other.text_);
    session = other.session;
    connection = other.connection;
    sequence = other.sequence;
}
