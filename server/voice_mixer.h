// Mixes the voices of everyone speaking into one stream: one queue of decoded
// frames per speaking member, and a mixed frame, the sample-by-sample
// average, whenever each speaker has contributed one. Owned by the Conference,
// which master_thread alone drives, so it has no lock of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/queue.h"
#include "protocol/voice_codec.h"

class CVoiceMixer {
public:
    using Frame = std::array<std::uint8_t, protocol::kVoiceFrameLength>;

    // A member's queue holds at most 191 frames (about 3 s); later ones are
    // dropped.
    static constexpr int kQueueSlots = 192;
    static constexpr int kNameLength = protocol::kMaxNameLength;
    // A speaker who sends nothing must not hold back everyone else: once
    // another speaker has more than this many frames waiting (128 ms), rounds
    // are mixed with the missing speaker counted as silence.
    static constexpr int kSilentSpeakerFrames = 8;

    CVoiceMixer() = default;
    CVoiceMixer(const CVoiceMixer&) = delete;
    CVoiceMixer& operator=(const CVoiceMixer&) = delete;

    // Appends a speaker with an empty queue and the first 49 characters of
    // the name; an ID already held changes nothing.
    void AddMember(std::string_view name, int id);
    // Queues a copy of the 128-sample frame: 1, also when the full queue
    // dropped it. 0 when the ID does not speak.
    int PutFrame(const std::uint8_t* frame, int id);
    // Writes one mixed frame and returns 1 when every speaker has a frame
    // queued (or a silent speaker is being skipped, see above), taking one
    // frame from each; otherwise 0 and nothing written.
    int TakeMixedFrame(std::uint8_t* mixed);
    // Removes the speaker with its queued frames: 1, or 0 when not held.
    int RemoveMember(int id);
    // Empties the speaker's queue; it keeps speaking.
    void DropQueued(int id);

    int MemberCount() const { return static_cast<int>(members_.size()); }
    // Frames waiting for the speaker, or -1 when the ID does not speak.
    int QueuedFrames(int id);
    // The stored name, or an empty view when the ID does not speak.
    std::string_view MemberName(int id) const;

private:
    struct Member {
        int id = 0;
        std::string name;
        std::unique_ptr<Queue<Frame>> frames;
    };

    Member* Find(int id);
    const Member* Find(int id) const;

    // In the order the members started speaking.
    std::vector<Member> members_;
    // Where each popped frame lands on its way into the sum; kept so that
    // mixing does not allocate.
    Frame popped_{};
};
