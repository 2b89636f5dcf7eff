#include "server/voice_mixer.h"

#include <algorithm>
#include <cstring>

CVoiceMixer::Member* CVoiceMixer::Find(int id) {
    for (Member& m : members_) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

const CVoiceMixer::Member* CVoiceMixer::Find(int id) const {
    for (const Member& m : members_) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

void CVoiceMixer::AddMember(std::string_view name, int id) {
    if (Find(id)) return;
    Member m;
    m.id = id;
    m.name.assign(name.substr(0, kNameLength));
    m.frames = std::make_unique<Queue<Frame>>(kQueueSlots);
    members_.push_back(std::move(m));
}

int CVoiceMixer::PutFrame(const std::uint8_t* frame, int id) {
    Member* m = Find(id);
    if (!m) return 0;
    std::memcpy(popped_.data(), frame, popped_.size());
    m->frames->Post(popped_);
    return 1;
}

int CVoiceMixer::TakeMixedFrame(std::uint8_t* mixed) {
    if (members_.empty()) return 0;
    bool someoneMissing = false;
    int mostQueued = 0;
    for (Member& m : members_) {
        int queued = m.frames->GetSize();
        if (queued == 0) someoneMissing = true;
        mostQueued = std::max(mostQueued, queued);
    }
    if (mostQueued == 0) return 0;
    if (someoneMissing && mostQueued <= kSilentSpeakerFrames) return 0;

    std::int32_t sums[protocol::kVoiceFrameLength];
    std::fill(std::begin(sums), std::end(sums), 0);
    for (Member& m : members_) {
        if (m.frames->Pop(popped_)) {
            for (int j = 0; j < protocol::kVoiceFrameLength; ++j) sums[j] += popped_[static_cast<std::size_t>(j)];
        } else {
            for (int j = 0; j < protocol::kVoiceFrameLength; ++j) sums[j] += protocol::kSilence;
        }
    }
    const std::int32_t n = static_cast<std::int32_t>(members_.size());
    for (int j = 0; j < protocol::kVoiceFrameLength; ++j) mixed[j] = static_cast<std::uint8_t>(sums[j] / n);
    return 1;
}

int CVoiceMixer::RemoveMember(int id) {
    auto it = std::find_if(members_.begin(), members_.end(), [id](const Member& m) { return m.id == id; });
    if (it == members_.end()) return 0;
    members_.erase(it);
    return 1;
}

void CVoiceMixer::DropQueued(int id) {
    Member* m = Find(id);
    if (!m) return;
    while (m->frames->Pop(popped_)) {
    }
}

int CVoiceMixer::QueuedFrames(int id) {
    Member* m = Find(id);
    return m ? m->frames->GetSize() : -1;
}

std::string_view CVoiceMixer::MemberName(int id) const {
    const Member* m = Find(id);
    return m ? std::string_view(m->name) : std::string_view{};
}
