#include "server/session_outbox.h"

namespace {
constexpr const char* kError = "mutex error at SessionOutbox";
}  // namespace

SessionOutbox::SessionOutbox() = default;

void SessionOutbox::DropWaiting() {
    text_.Clear();
    voice_.Clear();
    textBytes_ = 0;
}

void SessionOutbox::Open() {
    platform::MutexLock lock(mutex_, kError);
    DropWaiting();
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

SessionOutbox::Result SessionOutbox::Push(const WireRef& record, bool* wakeLater) {
    if (!record) return Result::kRefused;
    Result result = Result::kQueued;
    bool wake = false;
    {
        platform::MutexLock lock(mutex_, kError);
        if (!open_) return Result::kRefused;
        if (record->IsVoice()) {
            if (overflowed_) return Result::kRefused;
            if (voice_.Size() >= kMaxVoiceFrames) {
                voice_.PopFront();
                ++droppedVoice_;
            }
            voice_.PushBack(Entry{nextOrder_++, record});
        } else if (record->EndsConnection()) {
            // Always taken: the writer must see it to end the session.
            textBytes_ += record->bytes.size();
            text_.PushBack(Entry{nextOrder_++, record});
        } else {
            if (overflowed_) return Result::kRefused;
            if (textBytes_ + record->bytes.size() > kMaxTextBytes) {
                DropWaiting();
                overflowed_ = true;
                return Result::kOverflow;
            }
            textBytes_ += record->bytes.size();
            text_.PushBack(Entry{nextOrder_++, record});
        }
        wake = writerAsleep_;
        writerAsleep_ = false;
    }
    if (wake) {
        if (wakeLater) {
            *wakeLater = true;
        } else {
            wake_.Release();
        }
    }
    return result;
}

bool SessionOutbox::TakeAll(std::vector<WireRef>& out) {
    for (;;) {
        {
            platform::MutexLock lock(mutex_, kError);
            if (!open_) return false;
            if (!text_.Empty() || !voice_.Empty()) {
                // Text and voice leave in the order they came.
                while (!text_.Empty() || !voice_.Empty()) {
                    bool textFirst = voice_.Empty() || (!text_.Empty() && text_.Front().order < voice_.Front().order);
                    out.push_back(textFirst ? text_.PopFront().record : voice_.PopFront().record);
                }
                textBytes_ = 0;
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

std::size_t SessionOutbox::VoiceFrames() {
    platform::MutexLock lock(mutex_, kError);
    return voice_.Size();
}

std::uint64_t SessionOutbox::DroppedVoiceFrames() {
    platform::MutexLock lock(mutex_, kError);
    return droppedVoice_;
}
