#include "server/session_outbox.h"

namespace {
constexpr const char* kError = "mutex error at SessionOutbox";
}  // namespace

SessionOutbox::SessionOutbox() = default;

void SessionOutbox::DropWaiting() {
    text_.Clear();
    voice_.Clear();
    textBytes_ = 0;
    rest_.Reset();
    restOffset_ = 0;
}

void SessionOutbox::Open() {
    platform::MutexLock lock(mutex_, kError);
    DropWaiting();
    // Set by the new writer once it waits with nothing to send.
    writerAsleep_ = false;
    directSending_ = false;
    droppedVoice_ = 0;
    open_ = true;
    overflowed_ = false;
}

void SessionOutbox::Close() {
    bool wake;
    {
        platform::MutexLock lock(mutex_, kError);
        open_ = false;
        DropWaiting();
        wake = writerAsleep_;
        writerAsleep_ = false;
    }
    if (wake) wake_.Release();
}

void SessionOutbox::WakeWriter() { wake_.Release(); }

bool SessionOutbox::Queue(const WireRef& record) {
    const std::size_t size = record->bytes.size();
    if (record->IsVoice()) {
        if (voice_.Size() >= kMaxVoiceFrames) {
            voice_.PopFront();
            ++droppedVoice_;
        }
        voice_.PushBack(Entry{nextOrder_++, record});
        return true;
    }
    // The records that end a connection are always taken: the writer must
    // see them to end the session.
    if (!record->EndsConnection() && textBytes_ + size > kMaxTextBytes) {
        DropWaiting();
        overflowed_ = true;
        return false;
    }
    textBytes_ += size;
    text_.PushBack(Entry{nextOrder_++, record});
    return true;
}

bool SessionOutbox::TakeWake() {
    // A writer granted away to a direct send is woken when that ends.
    const bool wake = writerAsleep_ && !directSending_ && Waiting();
    if (wake) writerAsleep_ = false;
    return wake;
}

namespace {
SessionOutbox::Result Woken(bool wake, bool* wakeLater, platform::Semaphore& semaphore) {
    if (wake) {
        if (wakeLater) {
            *wakeLater = true;
        } else {
            semaphore.Release();
        }
    }
    return SessionOutbox::Result::kQueued;
}
}  // namespace

SessionOutbox::Result SessionOutbox::Push(const WireRef& record, bool* wakeLater) {
    if (!record) return Result::kRefused;
    bool wake = false;
    {
        platform::MutexLock lock(mutex_, kError);
        if (!open_) return Result::kRefused;
        if (overflowed_ && !record->EndsConnection()) return Result::kRefused;
        if (!Queue(record)) return Result::kOverflow;
        wake = TakeWake();
    }
    return Woken(wake, wakeLater, wake_);
}

bool SessionOutbox::ClaimDirectSend(const WireRef& record) {
    if (!record || record->bytes.empty() || record->EndsConnection()) return false;
    platform::MutexLock lock(mutex_, kError);
    if (!open_ || overflowed_ || directSending_ || !writerAsleep_ || Waiting()) return false;
    directSending_ = true;
    return true;
}

SessionOutbox::Result SessionOutbox::FinishDirectSend(const WireRef& record, std::size_t sent, bool* wakeLater) {
    bool wake = false;
    {
        platform::MutexLock lock(mutex_, kError);
        directSending_ = false;
        if (!open_) return Result::kRefused;
        const std::size_t size = record->bytes.size();
        if (sent < size) {
            // Finished first, voice included, ahead of anything pushed
            // meanwhile: the client must never see a record cut in two.
            rest_ = record;
            restOffset_ = sent;
            textBytes_ += size - sent;
        }
        wake = TakeWake();
    }
    return Woken(wake, wakeLater, wake_);
}

bool SessionOutbox::TakeAll(std::vector<WireRef>& out, std::size_t* firstOffset) {
    for (;;) {
        {
            platform::MutexLock lock(mutex_, kError);
            if (!open_) return false;
            if (!directSending_ && Waiting()) {
                std::size_t offset = 0;
                if (rest_) {
                    offset = restOffset_;
                    out.push_back(std::move(rest_));
                    rest_.Reset();
                    restOffset_ = 0;
                }
                // Text and voice leave in the order they came.
                while (!text_.Empty() || !voice_.Empty()) {
                    bool textFirst = voice_.Empty() || (!text_.Empty() && text_.Front().order < voice_.Front().order);
                    out.push_back(textFirst ? text_.PopFront().record : voice_.PopFront().record);
                }
                textBytes_ = 0;
                if (firstOffset) *firstOffset = offset;
                return true;
            }
            writerAsleep_ = true;
        }
        wake_.Wait(platform::kWaitForever);
    }
}

std::size_t SessionOutbox::TextBytes() {
    platform::MutexLock lock(mutex_, kError);
    return textBytes_;
}

bool SessionOutbox::WriterAsleep() {
    platform::MutexLock lock(mutex_, kError);
    return writerAsleep_;
}

std::size_t SessionOutbox::VoiceFrames() {
    platform::MutexLock lock(mutex_, kError);
    return voice_.Size();
}

std::uint64_t SessionOutbox::DroppedVoiceFrames() {
    platform::MutexLock lock(mutex_, kError);
    return droppedVoice_;
}
