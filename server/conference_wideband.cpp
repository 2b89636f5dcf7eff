// The conference's wideband voice. Two mixers share one timeline: today's
// CVoiceMixer alone makes what legacy connections hear (wideband speakers
// reach it resampled down), and the wideband mixer makes what wideband
// connections hear in 10 ms rounds (legacy speakers reach it resampled up).
// A server built without wideband voice ignores the request, as one that
// never heard of it does.
#include "server/conference.h"

#include "server/record_codes.h"

#if ORVANE_HAVE_WIDEBAND
#include <span>

#include "protocol/base64.h"
#include "protocol/voice_sequence.h"
#include "protocol/wideband_messages.h"
#endif

#if ORVANE_HAVE_WIDEBAND

void Conference::AskForWideband(int slot) {
    Member& m = At(slot);
    WireRef answer = WireRef::Make(pool_);
    answer.Edit().code = EV_VOICE_CODEC;
    protocol::AppendVoiceCodecAnswer(answer.Edit().bytes);
    if (SendTo(slot, answer) != ConferenceSink::Sent::kQueued || m.wideband) return;
    m.wideband = true;
    // Legacy speakers enter the wideband mix only while someone hears it
    // there, so that a conference of legacy clients pays nothing for it.
    if (widebandConnections_++ == 0) {
        for (const Member& other : members_) {
            if (!other.wideband && mixer_.QueuedFrames(other.id) >= 0) bridge_.AddLegacySpeaker(other.id);
        }
    }
    // Asked while speaking: from now on its voice comes as Opus packets.
    if (mixer_.QueuedFrames(m.id) >= 0) {
        bridge_.RemoveSpeaker(m.id);
        bridge_.AddWidebandSpeaker(m.id);
    }
}

void Conference::StartSpeaking(int slot) {
    const Member& m = At(slot);
    mixer_.AddMember(m.name, m.id);
    if (m.wideband) {
        bridge_.AddWidebandSpeaker(m.id);
    } else if (widebandConnections_ > 0) {
        bridge_.AddLegacySpeaker(m.id);
    }
}

void Conference::StopSpeaking(int id) {
    mixer_.RemoveMember(id);
    bridge_.RemoveSpeaker(id);
}

void Conference::PutOpus(int slot, const SessionEvent& event, std::int64_t nowUs) {
    const Member& m = At(slot);
    // Dropped like "Voice Data" when the connection does not speak.
    if (!m.wideband) return;
    std::string_view packet = event.Text();
    wideMixer_.PutPacket(m.id, event.sequence,
                         std::span(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size()), nowUs);
}

// Whether this pass's rounds carry the wideband voices down to today's mix:
// only while some connection hears it, since resampling and mixing it for
// no one costs about a seventh of a round (wideband_bench's
// BM_ConferenceWidebandRound). On the way
// into a pause, what today's mixer still holds of those voices is dropped
// and their resamplers start afresh, so that a connection arriving later
// hears them from that moment, nothing stale first.
bool Conference::CarryDownward() {
    bool heard = false;
    for (int i = 0; i < static_cast<int>(members_.size()) && !heard; ++i) {
        heard = !At(i).wideband && sink_.HasConnection(i);
    }
    if (!heard && !carryPaused_) {
        bridge_.RestartCarry();
        for (const Member& m : members_) {
            if (m.wideband) mixer_.DropQueued(m.id);
        }
    }
    carryPaused_ = !heard;
    return heard;
}

void Conference::RunVoiceRounds(std::int64_t nowUs) {
    if (wideMixer_.SpeakerCount() > 0) {
        // Wideband connections that do not speak share one encoding.
        bool listeners = false;
        for (const Member& m : members_) {
            if (m.wideband && wideMixer_.QueuedFrames(m.id) < 0) listeners = true;
        }
        // Asked once per pass, when the first round is mixed.
        int carry = -1;
        while (wideMixer_.MixRound(nowUs, listeners)) {
            if (carry < 0) carry = CarryDownward() ? 1 : 0;
            // Frames carried down join today's mix in this same pass.
            if (carry == 1) {
                for (const auto& [id, frame] : bridge_.CarryRound()) mixer_.PutFrame(frame.data(), id);
            }
            base64_.clear();
            for (int i = 0; i < static_cast<int>(members_.size()); ++i) {
                Member& m = At(i);
                if (!m.wideband) continue;
                std::span<const std::uint8_t> own = wideMixer_.OwnPacket(m.id);
                if (own.empty() && wideMixer_.ListenerPacket().empty()) continue;
                WireRef record = WireRef::Make(pool_);
                record.Edit().code = EV_OPUS_DATA;
                if (!own.empty()) {
                    protocol::AppendOpusData(record.Edit().bytes, m.opusSequence, own);
                } else {
                    if (base64_.empty()) protocol::AppendBase64(base64_, wideMixer_.ListenerPacket());
                    protocol::AppendOpusDataEncoded(record.Edit().bytes, m.opusSequence, base64_);
                }
                m.opusSequence = protocol::NextSequence(m.opusSequence);
                SendTo(i, record);
            }
        }
    }
    SendMixedFrames();
}

std::optional<std::int64_t> Conference::VoiceDeadline() const { return wideMixer_.Deadline(); }

#else

void Conference::AskForWideband(int) {}

void Conference::StartSpeaking(int slot) { mixer_.AddMember(At(slot).name, At(slot).id); }

void Conference::StopSpeaking(int id) { mixer_.RemoveMember(id); }

void Conference::PutOpus(int, const SessionEvent&, std::int64_t) {}

void Conference::RunVoiceRounds(std::int64_t) { SendMixedFrames(); }

std::optional<std::int64_t> Conference::VoiceDeadline() const { return std::nullopt; }

#endif
