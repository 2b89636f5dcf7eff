#include "server/master_thread.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/voice_codec.h"
#include "server/record_codes.h"
#include "server/voice_mixer.h"

namespace {

// How often an idle master_thread looks for a stop.
constexpr int kStopCheckMs = 50;
// Names as events about a member carry them: whole in the member list,
// messages and voice; shorter in the logout announcement.
constexpr int kNameLength = 49;
constexpr int kLogoutNameLength = 24;

class Master {
public:
    explicit Master(const MasterParameters& p)
        : sessions_(p.sessions),
          count_(p.sessionCount),
          events_(p.events),
          disconnecting_(p.disconnecting),
          stopping_(p.stopping),
          taken_(static_cast<std::size_t>(p.sessionCount) + 1),
          listIds_(static_cast<std::size_t>(p.sessionCount)),
          listNames_(static_cast<std::size_t>(p.sessionCount)),
          wantsSpeakers_(static_cast<std::size_t>(p.sessionCount), false) {}

    void Run() {
        while (!Stopping()) {
            if (!events_->ReceiveWithin(event_, kStopCheckMs)) continue;
            if (disconnecting_ && disconnecting_->load()) continue;
            reply_.Clear();
            announcement_.Clear();
            Handle();
            SendMixedFrames();
        }
    }

private:
    bool Stopping() const { return stopping_ && stopping_->load(); }

    CSession& At(int i) const { return *sessions_[i]; }

    void SendToAll(const OutgoingMessage& m, const CSession* except = nullptr) {
        for (int i = 0; i < count_; ++i) {
            if (&At(i) != except) At(i).SendMessage(m);
        }
    }

    // The member an event speaks of, as its session holds it now: ID 0 and
    // an empty name before login.
    void Identify(CSession* s, int nameLength, int* id) {
        s->GetID(id);
        name_.clear();
        s->GetName(&name_, nameLength);
    }

    void Handle() {
        CSession* s = event_.session;
        if (!s) return;
        switch (event_.code) {
            case EV_LOGIN:
                Login(s);
                break;
            case EV_MESSAGE: {
                int id = 0;
                Identify(s, kNameLength, &id);
                announcement_.Resize(1);
                announcement_.code = EV_MESSAGE;
                announcement_.SetEntry(0, id, name_);
                announcement_.SetText(event_.Text());
                SendToAll(announcement_);
                break;
            }
            case EV_WHO:
                MemberList(s);
                break;
            case EV_WHO_SPEAKING:
                SubscribeToSpeakers(s);
                break;
            case EV_LOGOUT:
                Logout(s);
                SpeakersMayHaveChanged();
                break;
            case EV_VOICE_START: {
                int id = 0;
                Identify(s, kNameLength, &id);
                mixer_.AddMember(name_, id);
                SpeakersMayHaveChanged();
                break;
            }
            case EV_VOICE_STOP: {
                int id = 0;
                s->GetID(&id);
                mixer_.RemoveMember(id);
                SpeakersMayHaveChanged();
                break;
            }
            case EV_VOICE_DATA: {
                // A short payload is dropped rather than read past its end.
                std::string_view payload = protocol::VoicePayload(event_.Text());
                if (payload.empty()) break;
                int id = 0;
                s->GetID(&id);
                std::memcpy(frame_.data(), payload.data(), frame_.size());
                protocol::DecodeVoiceFrame(frame_.data());
                mixer_.PutFrame(frame_.data(), id);
                break;
            }
            default:
                break;
        }
    }

    void Login(CSession* s) {
        int held = 0;
        // A connection that is already gone (only during shutdown) gets
        // nothing, and one that already has an ID keeps it: no second
        // member is announced for it.
        if (!s->IsOccupied() || s->GetID(&held)) return;

        std::fill(taken_.begin(), taken_.end(), false);
        for (int i = 0; i < count_; ++i) {
            int id = 0;
            if (At(i).GetID(&id) && id >= 1 && id <= count_) taken_[static_cast<std::size_t>(id)] = true;
        }
        int newId = count_ + 1;
        for (int id = 1; id <= count_; ++id) {
            if (!taken_[static_cast<std::size_t>(id)]) {
                newId = id;
                break;
            }
        }
        int voicePass = VoicePassFor(newId);
        // Stored at once, so that the next login already counts this ID as
        // taken and the member's own list request finds it.
        s->SetID(newId);
        s->SetVoicePass(voicePass);

        reply_.Resize(1);
        reply_.code = MSG_LOGIN_SUCCEEDED;
        reply_.SetEntry(0, newId);
        reply_.voicePass = voicePass;
        s->SendMessage(reply_);

        announcement_.Resize(1);
        announcement_.code = MSG_MEMBER_LOGIN;
        announcement_.SetEntry(0, newId, event_.Name());
        SendToAll(announcement_);
    }

    void MemberList(CSession* s) {
        int k = 0;
        for (int i = 0; i < count_; ++i) {
            auto slot = static_cast<std::size_t>(k);
            if (At(i).GetID(&listIds_[slot]) && At(i).GetName(&listNames_[slot], kNameLength)) ++k;
        }
        reply_.Resize(k);
        reply_.code = MSG_MEMBER_LIST;
        for (int i = 0; i < k; ++i) {
            reply_.SetEntry(i, listIds_[static_cast<std::size_t>(i)], listNames_[static_cast<std::size_t>(i)]);
        }
        s->SendMessage(reply_);
    }

    // ---- Who is speaking ----
    // Only connections that asked hear about speakers; the flag belongs to
    // the connection, so it ends with the connection's logout event (every
    // connection ends with exactly one, before its slot can be reused).

    int IndexOf(const CSession* s) const {
        for (int i = 0; i < count_; ++i) {
            if (sessions_[i] == s) return i;
        }
        return -1;
    }

    void SubscribeToSpeakers(CSession* s) {
        int index = IndexOf(s);
        if (index < 0) return;
        if (!wantsSpeakers_[static_cast<std::size_t>(index)]) {
            wantsSpeakers_[static_cast<std::size_t>(index)] = true;
            ++speakerSubscribers_;
        }
        // Answered at once with the list as it stands, which is also what
        // later changes are measured against.
        BuildSpeakingList(&lastSpeakers_);
        ToOutgoingSpeakingList(lastSpeakers_);
        s->SendMessage(reply_);
    }

    void Unsubscribe(const CSession* s) {
        int index = IndexOf(s);
        if (index < 0 || !wantsSpeakers_[static_cast<std::size_t>(index)]) return;
        wantsSpeakers_[static_cast<std::size_t>(index)] = false;
        --speakerSubscribers_;
    }

    // The members in the mix, in the order of their session slots, with the
    // names the member list shows. A connection that speaks without having
    // logged in is no member and is not listed.
    void BuildSpeakingList(std::vector<std::pair<int, std::string>>* list) {
        list->clear();
        for (int i = 0; i < count_; ++i) {
            int id = 0;
            std::string name;
            if (!At(i).GetID(&id) || !At(i).GetName(&name, kNameLength)) continue;
            if (mixer_.QueuedFrames(id) < 0) continue;
            list->emplace_back(id, std::move(name));
        }
    }

    void ToOutgoingSpeakingList(const std::vector<std::pair<int, std::string>>& list) {
        reply_.Resize(static_cast<int>(list.size()));
        reply_.code = MSG_SPEAKING_LIST;
        for (std::size_t i = 0; i < list.size(); ++i) reply_.SetEntry(static_cast<int>(i), list[i].first, list[i].second);
    }

    // Sends the list to every connection that asked for it. A connection
    // whose buffer is full misses this one; each list is whole, so the next
    // change puts it right.
    void SendSpeakingList(const OutgoingMessage& list) {
        for (int i = 0; i < count_; ++i) {
            if (wantsSpeakers_[static_cast<std::size_t>(i)]) At(i).SendMessage(list);
        }
    }

    // After a start, a stop or a departure: the new list goes out only when
    // it differs from the last one (a second "Voice Start", or a stop from
    // someone not speaking, sends nothing).
    void SpeakersMayHaveChanged() {
        if (speakerSubscribers_ == 0) return;
        BuildSpeakingList(&speakers_);
        if (speakers_ == lastSpeakers_) return;
        lastSpeakers_.swap(speakers_);
        ToOutgoingSpeakingList(lastSpeakers_);
        SendSpeakingList(reply_);
    }

    void Logout(CSession* s) {
        Unsubscribe(s);
        int id = 0;
        Identify(s, kLogoutNameLength, &id);
        // Gone from now on: no list shows the member after its logout has
        // been announced, and its ID is free for the next login.
        s->SetLeaving();
        reply_.Resize(0);
        reply_.code = MSG_LOGOUT_SUCCEEDED;
        s->SendMessage(reply_);
        // Someone who never logged in was never announced, so no one is told
        // that they left. The leaving client itself never sees this.
        if (id != 0) {
            announcement_.Resize(1);
            announcement_.code = MSG_MEMBER_LOGOUT;
            announcement_.SetEntry(0, id, name_);
            SendToAll(announcement_, s);
        }
        mixer_.RemoveMember(id);
    }

    void SendMixedFrames() {
        while (mixer_.TakeMixedFrame(mixed_.data())) {
            protocol::EncodeVoiceFrame(mixed_.data());
            announcement_.Resize(0);
            announcement_.code = EV_VOICE_DATA;
            announcement_.SetText(std::string_view(reinterpret_cast<const char*>(mixed_.data()), mixed_.size()));
            SendToAll(announcement_);
        }
    }

    CSession* const* sessions_;
    int count_;
    EventBuffer* events_;
    const std::atomic<bool>* disconnecting_;
    const std::atomic<bool>* stopping_;

    SessionEvent event_;
    OutgoingMessage reply_;
    OutgoingMessage announcement_;
    CVoiceMixer mixer_;
    CVoiceMixer::Frame frame_{};
    CVoiceMixer::Frame mixed_{};
    std::string name_;
    std::vector<bool> taken_;
    std::vector<int> listIds_;
    std::vector<std::string> listNames_;
    // By session slot: the connection there asked for the speaking list.
    std::vector<bool> wantsSpeakers_;
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
