#include "server/session_outbox.h"

namespace {
constexpr const char* kError = "mutex error at SessionOutbox";
}  // namespace

SessionOutbox::SessionOutbox() = default;

void SessionOutbox::DropWaiting() {
    text_.Clear();
    voice_.Clear();
    textBytes_ = 0;
    firstOffset_ = 0;
}

std::size_t SessionOutbox::SendNow(const WireRef& record) {
    if (!connection_ || record->bytes.empty()) return 0;
    platform::SendPiece piece{record->bytes.data(), record->bytes.size()};
    long long sent = platform::SocketSendPieces(connection_->Handle(), &piece, 1, false);
    return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

void SessionOutbox::Open(CNetSocket* connection) {
    platform::MutexLock lock(mutex_, kError);
    DropWaiting();
    connection_ = connection;
    // Set by the new writer once it waits with nothing to send.
    writerAsleep_ = false;
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

SessionOutbox::Result SessionOutbox::Push(const WireRef& record, bool* wakeLater, bool sendNow) {
    if (!record) return Result::kRefused;
    bool wake = false;
    {
        platform::MutexLock lock(mutex_, kError);
        if (!open_) return Result::kRefused;
        const bool ending = record->EndsConnection();
        if (overflowed_ && !ending) return Result::kRefused;
        std::size_t sent = 0;
        // The writer sleeps with nothing to send, and no one else sends on
        // the connection while this lock is held: the record goes out now.
        // The records that end a connection always go through the writer,
        // which closes the session after them.
        if (sendNow && !ending && writerAsleep_ && text_.Empty() && voice_.Empty()) {
            sent = SendNow(record);
            if (sent == record->bytes.size()) return Result::kQueued;
        }
        const std::size_t size = record->bytes.size();
        if (sent > 0) {
            // The rest of a record that went out in part is finished first,
            // voice included, so that the stream stays whole.
            firstOffset_ = sent;
            textBytes_ += size - sent;
            text_.PushBack(Entry{nextOrder_++, record});
        } else if (record->IsVoice()) {
            if (voice_.Size() >= kMaxVoiceFrames) {
                voice_.PopFront();
                ++droppedVoice_;
            }
            voice_.PushBack(Entry{nextOrder_++, record});
        } else if (ending) {
            // Always taken: the writer must see it to end the session.
            textBytes_ += size;
            text_.PushBack(Entry{nextOrder_++, record});
        } else {
            if (textBytes_ + size > kMaxTextBytes) {
                DropWaiting();
                overflowed_ = true;
                return Result::kOverflow;
            }
            textBytes_ += size;
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
    return Result::kQueued;
}

bool SessionOutbox::TakeAll(std::vector<WireRef>& out, std::size_t* firstOffset) {
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
                if (firstOffset) *firstOffset = firstOffset_;
                firstOffset_ = 0;
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
