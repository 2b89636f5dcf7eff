#include "server/conference.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/limits.h"
#include "protocol/messages.h"
#include "protocol/voice_codec.h"
#include "server/record_codes.h"
#include "server/session_outbox.h"

int VoicePassFor(int id) { return (id * 97 + 13) & 0xFF; }

Conference::Conference(int slots, ConferenceSink& sink, std::chrono::milliseconds loginLimit, WireRecordPool* pool,
                       int historyLimit)
    : sink_(sink),
      loginLimit_(loginLimit),
      pool_(pool),
      members_(static_cast<std::size_t>(slots)),
      leaving_(static_cast<std::size_t>(slots)),
      history_(historyLimit),
      taken_(static_cast<std::size_t>(slots) + 1) {}

ConferenceSink::Sent Conference::SendTo(int slot, const WireRef& record) {
    const ConferenceSink::Sent sent = sink_.Send(slot, record);
    if (sent != ConferenceSink::Sent::kOverflow) return sent;
    // The client has more text waiting than it may: it is ended as a lost
    // connection is, so that it knows, instead of silently missing lines.
    const Member& m = At(slot);
    std::string why(160 + m.name.size(), '\0');
    int n = std::snprintf(why.data(), why.size(),
                          "ended the connection of member %05d \"%s\": more than %zu bytes of text were waiting "
                          "for it (the client does not read)",
                          m.id, m.name.c_str(), SessionOutbox::kMaxTextBytes);
    why.resize(n > 0 ? std::min(static_cast<std::size_t>(n), why.size() - 1) : 0);
    sink_.End(slot, why);
    return sent;
}

void Conference::SendToAll(const WireRef& record, int exceptSlot) {
    for (int i = 0; i < static_cast<int>(members_.size()); ++i) {
        if (i != exceptSlot) SendTo(i, record);
    }
}

void Conference::Handle(int slot, const SessionEvent& event) { Handle(slot, event, NowUs()); }

std::int64_t Conference::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

void Conference::Handle(int slot, const SessionEvent& event, std::int64_t nowUs) {
    if (slot < 0 || slot >= static_cast<int>(members_.size())) return;
    switch (event.code) {
        case EV_LOGIN:
            Login(slot, event);
            break;
        case EV_MESSAGE:
            Relay(slot, event);
            break;
        case EV_WHO:
            MemberList(slot);
            break;
        case EV_MESSAGE_HISTORY:
            SendHistory(slot);
            break;
        case EV_WHO_SPEAKING:
            SubscribeToSpeakers(slot);
            break;
        case EV_LOGOUT:
            Logout(slot, event);
            SpeakersMayHaveChanged();
            break;
        case EV_VOICE_START:
            StartSpeaking(slot);
            SpeakersMayHaveChanged();
            break;
        case EV_VOICE_STOP:
            StopSpeaking(At(slot).id);
            SpeakersMayHaveChanged();
            break;
        case EV_VOICE_DATA:
            PutVoice(slot, event, nowUs);
            break;
        case EV_VOICE_CODEC:
            AskForWideband(slot);
            break;
        case EV_OPUS_DATA:
            PutOpus(slot, event, nowUs);
            break;
        default:
            break;
    }
    RunVoiceRounds(nowUs);
}

void Conference::CheckLoginLimit(Clock::time_point now) {
    if (loginLimit_.count() <= 0) return;
    for (int i = 0; i < static_cast<int>(members_.size()); ++i) {
        if (At(i).id == 0) sink_.EndIfConnectedBefore(i, now - loginLimit_, leaving_[static_cast<std::size_t>(i)]);
    }
}

void Conference::Login(int slot, const SessionEvent& event) {
    Member& m = At(slot);
    // One that already has an ID keeps it: no second member is announced
    // for it.
    if (m.id != 0) return;

    const int count = static_cast<int>(members_.size());
    std::fill(taken_.begin(), taken_.end(), false);
    for (const Member& other : members_) {
        if (other.id >= 1 && other.id <= count) taken_[static_cast<std::size_t>(other.id)] = true;
    }
    int newId = count + 1;
    for (int id = 1; id <= count; ++id) {
        if (!taken_[static_cast<std::size_t>(id)]) {
            newId = id;
            break;
        }
    }

    m.id = newId;
    m.voicePass = VoicePassFor(newId);
    m.name.assign(event.Name().substr(0, protocol::kMaxNameLength));
    m.hasName = true;
    reply_.Resize(1);
    reply_.code = MSG_LOGIN_SUCCEEDED;
    reply_.SetEntry(0, m.id);
    reply_.voicePass = m.voicePass;
    // A connection that is already gone (only during shutdown) gets nothing
    // and stays without an ID.
    if (SendTo(slot, Format(reply_)) == ConferenceSink::Sent::kRefused) {
        if (m.wideband) --widebandConnections_;
        m = Member{};
        return;
    }

    // The name exactly as the client sent it.
    announcement_.Resize(1);
    announcement_.code = MSG_MEMBER_LOGIN;
    announcement_.SetEntry(0, m.id, event.Name());
    SendToAll(Format(announcement_));
}

void Conference::Relay(int slot, const SessionEvent& event) {
    // Before the login: ID 0 and an empty name.
    const Member& m = At(slot);
    announcement_.Resize(1);
    announcement_.code = EV_MESSAGE;
    announcement_.SetEntry(0, m.id, m.name);
    announcement_.SetText(event.Text());
    // The very record that went to everyone is what a late joiner is shown.
    WireRef relayed = Format(announcement_);
    SendToAll(relayed);
    history_.Record(relayed);
}

// The size line and the kept messages, to this connection alone and in one
// handling step, so that nothing else comes between them.
void Conference::SendHistory(int slot) {
    historyAnswer_.clear();
    history_.AppendAnswer(historyAnswer_, pool_);
    for (const WireRef& record : historyAnswer_) {
        if (SendTo(slot, record) != ConferenceSink::Sent::kQueued) break;
    }
    historyAnswer_.clear();
}

void Conference::MemberList(int slot) {
    int k = 0;
    for (const Member& member : members_) {
        if (member.id != 0 && member.hasName) ++k;
    }
    reply_.Resize(k);
    reply_.code = MSG_MEMBER_LIST;
    int i = 0;
    for (const Member& member : members_) {
        if (member.id != 0 && member.hasName) reply_.SetEntry(i++, member.id, member.name);
    }
    SendTo(slot, Format(reply_));
}

// ---- Who is speaking ----
// Only connections that asked hear about speakers; the flag belongs to the
// connection, so it ends with the connection's logout event (every
// connection ends with exactly one, before its slot can be reused).

void Conference::SubscribeToSpeakers(int slot) {
    Member& m = At(slot);
    if (!m.wantsSpeakers) {
        m.wantsSpeakers = true;
        ++speakerSubscribers_;
    }
    // Answered at once with the list as it stands, which is also what later
    // changes are measured against.
    BuildSpeakingList(&lastSpeakers_);
    SendTo(slot, Format(SpeakingListRecord(lastSpeakers_)));
}

// The members in the mix, in the order of their slots, with the names the
// member list shows. A connection that speaks without having logged in is
// no member and is not listed.
void Conference::BuildSpeakingList(Entries* list) {
    list->clear();
    for (const Member& member : members_) {
        if (member.id == 0 || !member.hasName || mixer_.QueuedFrames(member.id) < 0) continue;
        list->emplace_back(member.id, member.name);
    }
}

const OutgoingMessage& Conference::SpeakingListRecord(const Entries& list) {
    reply_.Resize(static_cast<int>(list.size()));
    reply_.code = MSG_SPEAKING_LIST;
    for (std::size_t i = 0; i < list.size(); ++i) reply_.SetEntry(static_cast<int>(i), list[i].first, list[i].second);
    return reply_;
}

// After a start, a stop or a departure: the new list goes out, formatted
// once, to every connection that asked, and only when it differs from the
// last one (a second "Voice Start", or a stop from someone not speaking,
// sends nothing).
void Conference::SpeakersMayHaveChanged() {
    if (speakerSubscribers_ == 0) return;
    BuildSpeakingList(&speakers_);
    if (speakers_ == lastSpeakers_) return;
    lastSpeakers_.swap(speakers_);
    WireRef list = Format(SpeakingListRecord(lastSpeakers_));
    for (int i = 0; i < static_cast<int>(members_.size()); ++i) {
        if (At(i).wantsSpeakers) SendTo(i, list);
    }
}

void Conference::Logout(int slot, const SessionEvent& event) {
    Member& m = At(slot);
    if (m.wantsSpeakers) --speakerSubscribers_;
    if (m.wideband) --widebandConnections_;
    // Leaving from now on until the slot holds another connection: its
    // writer still has the reply to send.
    leaving_[static_cast<std::size_t>(slot)] = event.connection;
    reply_.Resize(0);
    reply_.code = MSG_LOGOUT_SUCCEEDED;
    SendTo(slot, Format(reply_));
    // Someone who never logged in was never announced, so no one is told
    // that they left. The leaving client itself never sees this.
    if (m.id != 0) {
        announcement_.Resize(1);
        announcement_.code = MSG_MEMBER_LOGOUT;
        announcement_.SetEntry(0, m.id, std::string_view(m.name).substr(0, protocol::kLogoutNameLength));
        SendToAll(Format(announcement_), slot);
    }
    StopSpeaking(m.id);
    // Gone from now on: no list shows the member, and its ID is free for the
    // next login.
    m = Member{};
}

void Conference::PutVoice(int slot, const SessionEvent& event, [[maybe_unused]] std::int64_t nowUs) {
    const Member& m = At(slot);
    // A wideband connection speaks in Opus packets only.
    if (m.wideband) return;
    // A short payload is dropped rather than read past its end.
    std::string_view payload = protocol::VoicePayload(event.Text());
    if (payload.empty()) return;
    std::memcpy(frame_.data(), payload.data(), frame_.size());
    protocol::DecodeVoiceFrame(frame_.data());
    if (!mixer_.PutFrame(frame_.data(), m.id)) return;
#if ORVANE_HAVE_WIDEBAND
    bridge_.PutLegacyFrame(m.id, frame_, nowUs);
#endif
}

void Conference::SendMixedFrames() {
    while (mixer_.TakeMixedFrame(mixed_.data())) {
        protocol::EncodeVoiceFrame(mixed_.data());
        WireRef frame = WireRef::Make(pool_);
        frame.Edit().code = EV_VOICE_DATA;
        protocol::AppendVoiceData(frame.Edit().bytes,
                                  std::string_view(reinterpret_cast<const char*>(mixed_.data()), mixed_.size()));
        // Wideband connections hear the same voices in their own stream.
        for (int i = 0; i < static_cast<int>(members_.size()); ++i) {
            if (!At(i).wideband) SendTo(i, frame);
        }
    }
}
