#include "server/wire_record.h"

#include "server/message_text.h"
#include "server/record_codes.h"

namespace {
constexpr const char* kPoolError = "mutex error at WireRecordPool";
}  // namespace

bool WireRecord::IsVoice() const { return code == EV_VOICE_DATA || code == EV_OPUS_DATA; }

bool WireRecord::EndsConnection() const { return code == MSG_LOGOUT_SUCCEEDED || code == MSG_DISCONNECTED; }

WireRef WireRef::Make(WireRecordPool* pool) {
    std::unique_ptr<WireRecord> record = pool ? pool->Take() : std::make_unique<WireRecord>();
    record->pool_ = pool;
    record->code = 0;
    record->bytes.clear();
    // The reference owns the record from here on; its last Drop returns it.
    return WireRef(record.release());
}

WireRef WireRef::Format(const OutgoingMessage& message, WireRecordPool* pool) {
    WireRef ref = Make(pool);
    ref.Edit().code = message.code;
    AppendMessageText(ref.Edit().bytes, message);
    return ref;
}

void WireRef::Drop() {
    WireRecord* record = record_;
    record_ = nullptr;
    if (!record || record->references_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (record->pool_) {
        record->pool_->Give(record);
    } else {
        std::unique_ptr<WireRecord> last(record);
    }
}

WireRecordPool::~WireRecordPool() = default;

std::unique_ptr<WireRecord> WireRecordPool::Take() {
    inUse_.fetch_add(1, std::memory_order_relaxed);
    {
        platform::MutexLock lock(mutex_, kPoolError);
        if (!free_.empty()) {
            std::unique_ptr<WireRecord> record = std::move(free_.back());
            free_.pop_back();
            return record;
        }
    }
    return std::make_unique<WireRecord>();
}

void WireRecordPool::Give(WireRecord* record) {
    std::unique_ptr<WireRecord> owned(record);
    inUse_.fetch_sub(1, std::memory_order_relaxed);
    platform::MutexLock lock(mutex_, kPoolError);
    if (free_.size() < kKeptRecords) free_.push_back(std::move(owned));
}
