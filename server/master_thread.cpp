#include "server/master_thread.h"

#include <cstring>
#include <string>
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
          listNames_(static_cast<std::size_t>(p.sessionCount)) {}

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
            case EV_LOGOUT:
                Logout(s);
                break;
            case EV_VOICE_START: {
                int id = 0;
                Identify(s, kNameLength, &id);
                mixer_.AddMember(name_, id);
                break;
            }
            case EV_VOICE_STOP: {
                int id = 0;
                s->GetID(&id);
                mixer_.RemoveMember(id);
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

    void Logout(CSession* s) {
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
};

}  // namespace

int VoicePassFor(int id) { return (id * 97 + 13) & 0xFF; }

std::uint32_t master_thread(void* argument) {
    Master master(*static_cast<MasterParameters*>(argument));
    master.Run();
    return 0;
}
