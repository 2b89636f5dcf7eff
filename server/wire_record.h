// One outgoing message as the bytes that go on the wire, formatted once and
// shared read-only by every session it is sent to: relaying a text to 25
// clients costs one formatting and 25 references, not 25 copies.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"
#include "server/outgoing_message.h"

class WireRecordPool;

class WireRecord {
public:
    // The code of the record it was formatted from (record_codes.h).
    int code = 0;
    std::string bytes;

    bool IsVoice() const;
    // "logout succeeded" and "disconnected": the writer stops after them.
    bool EndsConnection() const;

private:
    friend class WireRef;
    friend class WireRecordPool;
    std::atomic<int> references_{0};
    // Where the record goes back when the last reference is gone; null: it
    // is deleted then.
    WireRecordPool* pool_ = nullptr;
};

// A counted reference to a WireRecord. Copies share the record; the last one
// to go hands it back to its pool. Safe to copy and drop on any thread.
class WireRef {
public:
    WireRef() = default;
    WireRef(const WireRef& other) : record_(other.record_) { Retain(); }
    WireRef(WireRef&& other) noexcept : record_(other.record_) { other.record_ = nullptr; }
    WireRef& operator=(const WireRef& other) {
        if (record_ != other.record_) {
            Drop();
            record_ = other.record_;
            Retain();
        }
        return *this;
    }
    WireRef& operator=(WireRef&& other) noexcept {
        if (this != &other) {
            Drop();
            record_ = other.record_;
            other.record_ = nullptr;
        }
        return *this;
    }
    ~WireRef() { Drop(); }

    // A fresh record (from the pool when there is one) with no bytes, held
    // by this reference alone, for its maker to fill.
    static WireRef Make(WireRecordPool* pool);
    // The record's text, formatted from an outgoing record; an empty record
    // for a code that has no text on the wire.
    static WireRef Format(const OutgoingMessage& message, WireRecordPool* pool = nullptr);

    explicit operator bool() const { return record_ != nullptr; }
    const WireRecord* operator->() const { return record_; }
    const WireRecord& operator*() const { return *record_; }
    // Only while this is the one reference, before the record is shared.
    WireRecord& Edit() { return *record_; }
    void Reset() { Drop(); }

private:
    explicit WireRef(WireRecord* record) : record_(record) { Retain(); }
    void Retain() {
        if (record_) record_->references_.fetch_add(1, std::memory_order_relaxed);
    }
    void Drop();

    WireRecord* record_ = nullptr;
};

// Keeps records whose last reference has gone, with the storage they grew,
// for the next message: the relay allocates nothing once it has warmed up.
// Must outlive every reference to its records.
class WireRecordPool {
public:
    // Records kept beyond this are freed: a burst does not pin its memory.
    static constexpr std::size_t kKeptRecords = 4096;

    WireRecordPool() { free_.reserve(kKeptRecords); }
    ~WireRecordPool();
    WireRecordPool(const WireRecordPool&) = delete;
    WireRecordPool& operator=(const WireRecordPool&) = delete;

    // Records made and not yet handed back.
    int InUse() const { return inUse_.load(); }

private:
    friend class WireRef;
    std::unique_ptr<WireRecord> Take();
    void Give(WireRecord* record);

    platform::Mutex mutex_;
    std::vector<std::unique_ptr<WireRecord>> free_;
    std::atomic<int> inUse_{0};
};
