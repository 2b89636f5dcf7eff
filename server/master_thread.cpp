#include "server/master_thread.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/limits.h"
#include "protocol/messages.h"
#include "protocol/voice_codec.h"
#include "server/record_codes.h"
#include "server/voice_mixer.h"

namespace {

// How often an idle master_thread looks for a stop.
constexpr int kStopCheckMs = 50;
// Events handled one after another, while more are waiting, before the
// writers that got something are woken: under load a writer then sends many
// records per wake-up instead of being woken for each.
constexpr int kEventsPerWake = 32;
// How often connections are checked against the login limit.
constexpr auto kLoginCheckEvery = std::chrono::milliseconds(100);

// What master_thread knows about the connection in one session slot. Filled
// by the login, emptied when the connection's logout has been handled (the
// last event any connection posts), so it always describes the slot's
// current connection.
struct Connection {
    int id = 0;
    int voicePass = 0;
    bool hasName = false;
    // At most kMaxNameLength characters.
    std::string name;
    // Asked "Who are speaking?": hears the speaking list on every change.
    bool wantsSpeakers = false;
};

class Master {
public:
    explicit Master(const MasterParameters& p)
        : sessions_(p.sessions),
          count_(p.sessionCount),
          events_(p.events),
          disconnecting_(p.disconnecting),
          stopping_(p.stopping),
          pool_(p.pool),
          loginLimit_(p.loginLimitMs),
          connections_(static_cast<std::size_t>(p.sessionCount)),
          taken_(static_cast<std::size_t>(p.sessionCount) + 1),
          toWake_(static_cast<std::size_t>(p.sessionCount)) {}

    void Run() {
        auto nextLoginCheck = std::chrono::steady_clock::now();
        while (!Stopping()) {
            bool got = events_->ReceiveWithin(event_, kStopCheckMs) == 1;
            for (int handled = 0; got; ++handled) {
                if (disconnecting_ && disconnecting_->load()) break;
                // With nothing else waiting, replies go out on this thread
                // at once; when events pile up, the writers send them in
                // batches.
                quiet_ = events_->FreeSlots() == events_->Capacity() - 1;
                reply_.Clear();
                announcement_.Clear();
                Handle();
                SendMixedFrames();
                got = handled + 1 < kEventsPerWake && events_->ReceiveWithin(event_, 0) == 1;
            }
            WakeWriters();
            if (loginLimit_.count() > 0) {
                auto now = std::chrono::steady_clock::now();
                if (now >= nextLoginCheck) {
                    EndSilentConnections(now);
                    nextLoginCheck = now + kLoginCheckEvery;
                }
            }
        }
    }

private:
    bool Stopping() const { return stopping_ && stopping_->load(); }

    CSession& At(int i) const { return *sessions_[i]; }

    int SlotOf(const CSession* s) const {
        for (int i = 0; i < count_; ++i) {
            if (sessions_[i] == s) return i;
        }
        return -1;
    }

    Connection& ConnectionAt(int slot) { return connections_[static_cast<std::size_t>(slot)]; }

    // The record's bytes, formatted once for everyone it goes to.
    WireRef Format(const OutgoingMessage& m) { return WireRef::Format(m, pool_); }

    void SendTo(int slot, const WireRef& record) {
        bool wake = false;
        if (At(slot).SendMessage(record, &wake, quiet_) == CSession::SendResult::kOverflow) EndLaggard(slot);
        if (wake) toWake_[static_cast<std::size_t>(slot)] = true;
    }

    void WakeWriters() {
        for (int i = 0; i < count_; ++i) {
            if (toWake_[static_cast<std::size_t>(i)]) {
                toWake_[static_cast<std::size_t>(i)] = false;
                At(i).WakeWriter();
            }
        }
    }

    void SendToAll(const WireRef& record, int exceptSlot = -1) {
        for (int i = 0; i < count_; ++i) {
            if (i != exceptSlot) SendTo(i, record);
        }
    }

    // The client has more text waiting than it may: it is ended as a lost
    // connection is, so that it knows, instead of silently missing lines.
    void EndLaggard(int slot) {
        const Connection& c = ConnectionAt(slot);
        std::fprintf(stderr,
                     "Orvane: ended the connection of member %05d \"%s\": more than %zu bytes of text were "
                     "waiting for it (the client does not read)\n",
                     c.id, c.name.c_str(), SessionOutbox::kMaxTextBytes);
        std::fflush(stderr);
        At(slot).EndConnection();
    }

    void EndSilentConnections(std::chrono::steady_clock::time_point now) {
        for (int i = 0; i < count_; ++i) {
            if (ConnectionAt(i).id != 0) continue;
            CSession::Clock::time_point since;
            if (At(i).ConnectedSince(&since) && now - since >= loginLimit_) At(i).EndConnection();
        }
    }

    void Handle() {
        int slot = SlotOf(event_.session);
        if (slot < 0) return;
        Connection& c = ConnectionAt(slot);
        switch (event_.code) {
            case EV_LOGIN:
                Login(slot);
                break;
            case EV_MESSAGE:
                // Before the login: ID 0 and an empty name.
                announcement_.Resize(1);
                announcement_.code = EV_MESSAGE;
                announcement_.SetEntry(0, c.id, c.name);
                announcement_.SetText(event_.Text());
                SendToAll(Format(announcement_));
                break;
            case EV_WHO:
                MemberList(slot);
                break;
            case EV_WHO_SPEAKING:
                SubscribeToSpeakers(slot);
                break;
            case EV_LOGOUT:
                Logout(slot);
                SpeakersMayHaveChanged();
                break;
            case EV_VOICE_START:
                mixer_.AddMember(c.name, c.id);
                SpeakersMayHaveChanged();
                break;
            case EV_VOICE_STOP:
                mixer_.RemoveMember(c.id);
                SpeakersMayHaveChanged();
                break;
            case EV_VOICE_DATA: {
                // A short payload is dropped rather than read past its end.
                std::string_view payload = protocol::VoicePayload(event_.Text());
                if (payload.empty()) break;
                std::memcpy(frame_.data(), payload.data(), frame_.size());
                protocol::DecodeVoiceFrame(frame_.data());
                mixer_.PutFrame(frame_.data(), c.id);
                break;
            }
            default:
                break;
        }
    }

    void Login(int slot) {
        Connection& c = ConnectionAt(slot);
        // A connection that is already gone (only during shutdown) gets
        // nothing, and one that already has an ID keeps it: no second
        // member is announced for it.
        if (c.id != 0 || !At(slot).IsOccupied()) return;

        std::fill(taken_.begin(), taken_.end(), false);
        for (const Connection& other : connections_) {
            if (other.id >= 1 && other.id <= count_) taken_[static_cast<std::size_t>(other.id)] = true;
        }
        int newId = count_ + 1;
        for (int id = 1; id <= count_; ++id) {
            if (!taken_[static_cast<std::size_t>(id)]) {
                newId = id;
                break;
            }
        }
        c.id = newId;
        c.voicePass = VoicePassFor(newId);
        c.name.assign(event_.Name().substr(0, protocol::kMaxNameLength));
        c.hasName = true;

        reply_.Resize(1);
        reply_.code = MSG_LOGIN_SUCCEEDED;
        reply_.SetEntry(0, c.id);
        reply_.voicePass = c.voicePass;
        SendTo(slot, Format(reply_));

        // The name exactly as the client sent it.
        announcement_.Resize(1);
        announcement_.code = MSG_MEMBER_LOGIN;
        announcement_.SetEntry(0, c.id, event_.Name());
        SendToAll(Format(announcement_));
    }

    void MemberList(int slot) {
        int k = 0;
        for (const Connection& member : connections_) {
            if (member.id != 0 && member.hasName) ++k;
        }
        reply_.Resize(k);
        reply_.code = MSG_MEMBER_LIST;
        int i = 0;
        for (const Connection& member : connections_) {
            if (member.id != 0 && member.hasName) reply_.SetEntry(i++, member.id, member.name);
        }
        SendTo(slot, Format(reply_));
    }

    // ---- Who is speaking ----
    // Only connections that asked hear about speakers; the flag belongs to
    // the connection, so it ends with the connection's logout event (every
    // connection ends with exactly one, before its slot can be reused).

    void SubscribeToSpeakers(int slot) {
        Connection& c = ConnectionAt(slot);
        if (!c.wantsSpeakers) {
            c.wantsSpeakers = true;
            ++speakerSubscribers_;
        }
        // Answered at once with the list as it stands, which is also what
        // later changes are measured against.
        BuildSpeakingList(&lastSpeakers_);
        SendTo(slot, Format(SpeakingListRecord(lastSpeakers_)));
    }

    // The members in the mix, in the order of their session slots, with the
    // names the member list shows. A connection that speaks without having
    // logged in is no member and is not listed.
    void BuildSpeakingList(std::vector<std::pair<int, std::string>>* list) {
        list->clear();
        for (const Connection& member : connections_) {
            if (member.id == 0 || !member.hasName || mixer_.QueuedFrames(member.id) < 0) continue;
            list->emplace_back(member.id, member.name);
        }
    }

    const OutgoingMessage& SpeakingListRecord(const std::vector<std::pair<int, std::string>>& list) {
        reply_.Resize(static_cast<int>(list.size()));
        reply_.code = MSG_SPEAKING_LIST;
        for (std::size_t i = 0; i < list.size(); ++i) {
            reply_.SetEntry(static_cast<int>(i), list[i].first, list[i].second);
        }
        return reply_;
    }

    // After a start, a stop or a departure: the new list goes out, formatted
    // once, to every connection that asked, and only when it differs from
    // the last one (a second "Voice Start", or a stop from someone not
    // speaking, sends nothing).
    void SpeakersMayHaveChanged() {
        if (speakerSubscribers_ == 0) return;
        BuildSpeakingList(&speakers_);
        if (speakers_ == lastSpeakers_) return;
        lastSpeakers_.swap(speakers_);
        WireRef list = Format(SpeakingListRecord(lastSpeakers_));
        for (int i = 0; i < count_; ++i) {
            if (ConnectionAt(i).wantsSpeakers) SendTo(i, list);
        }
    }

    void Logout(int slot) {
        Connection& c = ConnectionAt(slot);
        if (c.wantsSpeakers) --speakerSubscribers_;
        reply_.Resize(0);
        reply_.code = MSG_LOGOUT_SUCCEEDED;
        SendTo(slot, Format(reply_));
        // Someone who never logged in was never announced, so no one is told
        // that they left. The leaving client itself never sees this.
        if (c.id != 0) {
            announcement_.Resize(1);
            announcement_.code = MSG_MEMBER_LOGOUT;
            announcement_.SetEntry(0, c.id, std::string_view(c.name).substr(0, protocol::kLogoutNameLength));
            SendToAll(Format(announcement_), slot);
        }
        mixer_.RemoveMember(c.id);
        // Gone from now on: no list shows the member, and its ID is free for
        // the next login.
        c = Connection{};
    }

    void SendMixedFrames() {
        while (mixer_.TakeMixedFrame(mixed_.data())) {
            protocol::EncodeVoiceFrame(mixed_.data());
            WireRef frame = WireRef::Make(pool_);
            frame.Edit().code = EV_VOICE_DATA;
            protocol::AppendVoiceData(frame.Edit().bytes,
                                      std::string_view(reinterpret_cast<const char*>(mixed_.data()), mixed_.size()));
            SendToAll(frame);
        }
    }

    CSession* const* sessions_;
    int count_;
    EventBuffer* events_;
    const std::atomic<bool>* disconnecting_;
    const std::atomic<bool>* stopping_;
    WireRecordPool* pool_;
    std::chrono::milliseconds loginLimit_;

    std::vector<Connection> connections_;
    SessionEvent event_;
    OutgoingMessage reply_;
    OutgoingMessage announcement_;
    CVoiceMixer mixer_;
    CVoiceMixer::Frame frame_{};
    CVoiceMixer::Frame mixed_{};
    std::vector<bool> taken_;
    // Writers that got records while asleep, woken once the batch is done.
    std::vector<bool> toWake_;
    // No other event was waiting when this one was taken.
    bool quiet_ = false;
    // Connections that asked for the speaking list.
    int speakerSubscribers_ = 0;
    // The speaking list as last sent, and the one being compared with it.
    std::vector<std::pair<int, std::string>> lastSpeakers_;
    std::vector<std::pair<int, std::string>> speakers_;
};

}  // namespace

int VoicePassFor(int id) { return (id * 97 + 13) & 0xFF; }

std::uint32_t master_thread(void* argument) {
    Master master(*static_cast<MasterParameters*>(argument));
    master.Run();
    return 0;
}
