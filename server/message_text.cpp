#include "server/message_text.h"

#include "protocol/messages.h"
#include "server/record_codes.h"

namespace {

// An entry the producer left without a name is written with an empty one.
void AppendList(std::string& out, const OutgoingMessage& m) {
    for (int i = 0; i < m.Count(); ++i) protocol::AppendListEntry(out, m.EntryId(i), m.EntryName(i));
    protocol::AppendListEnd(out);
}

int FirstId(const OutgoingMessage& m) { return m.Count() > 0 ? m.EntryId(0) : 0; }

std::string_view FirstName(const OutgoingMessage& m) { return m.Count() > 0 ? m.EntryName(0) : std::string_view{}; }

}  // namespace

bool AppendMessageText(std::string& out, const OutgoingMessage& m) {
    switch (m.code) {
        case EV_MESSAGE:
            protocol::AppendTextMessage(out, m.Text(), FirstId(m), FirstName(m));
            return true;
        case EV_VOICE_DATA:
            protocol::AppendVoiceData(out, m.Text());
            return true;
        case MSG_LOGIN_SUCCEEDED:
            protocol::AppendLoginSucceeded(out, FirstId(m), m.voicePass);
            return true;
        case MSG_LOGIN_FAILED:
            protocol::AppendLoginFailed(out);
            return true;
        case MSG_LOGOUT_SUCCEEDED:
            protocol::AppendLogoutSucceeded(out);
            return true;
        case MSG_DISCONNECTED:
            protocol::AppendDisconnected(out);
            return true;
        case MSG_MEMBER_LOGIN:
            protocol::AppendMemberLogin(out, FirstId(m), FirstName(m));
            return true;
        case MSG_MEMBER_LIST:
            protocol::AppendMemberSize(out, m.Count());
            AppendList(out, m);
            return true;
        case MSG_SPEAKING_LIST:
            protocol::AppendSpeakingMemberSize(out, m.Count());
            AppendList(out, m);
            return true;
        case MSG_MEMBER_LOGOUT:
            protocol::AppendMemberLogout(out, FirstId(m), FirstName(m));
            return true;
        default:
            return false;
    }
}
