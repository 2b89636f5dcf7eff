#include "client/incoming_message.h"

#include <algorithm>

#include "client/strings.h"
#include "protocol/messages.h"

namespace {

MessageKind KindOf(protocol::ServerMessage message) {
    using protocol::ServerMessage;
    switch (message) {
        case ServerMessage::kNone: return KIND_NONE;
        case ServerMessage::kLoginSucceeded: return KIND_LOGIN_SUCCEEDED;
        case ServerMessage::kLoginFailed: return KIND_LOGIN_FAILED;
        case ServerMessage::kLogoutSucceeded: return KIND_LOGOUT_SUCCEEDED;
        case ServerMessage::kDisconnected: return KIND_DISCONNECTED;
        case ServerMessage::kMemberLogin: return KIND_MEMBER_LOGIN;
        case ServerMessage::kMemberLogout: return KIND_MEMBER_LOGOUT;
        case ServerMessage::kMessage: return KIND_MESSAGE;
        case ServerMessage::kMemberSize: return KIND_MEMBER_LIST;
        case ServerMessage::kSpeakingMemberSize: return KIND_SPEAKING_LIST;
        case ServerMessage::kVoiceData: return KIND_VOICE_DATA;
    }
    return KIND_NONE;
}

}  // namespace

void IncomingMessage::Reset() {
    kind = KIND_NONE;
    listCount = 0;
    entriesFilled = 0;
    text.clear();
    ids.clear();
    names.clear();
    voicePass = 0;
    voiceFrameComplete = false;
    pendingListId_ = 0;
}

void IncomingMessage::ParseLine(std::string_view line) {
    using namespace protocol;
    switch (kind) {
        case KIND_NONE: {
            Reset();
            kind = KindOf(ClassifyServerLine(line));
            switch (kind) {
                case KIND_LOGIN_SUCCEEDED:
                    ids.assign(1, 0);
                    break;
                case KIND_MEMBER_LOGIN:
                case KIND_MEMBER_LOGOUT:
                    ids.assign(1, 0);
                    names.assign(1, std::string());
                    break;
                case KIND_MESSAGE:
                    text = std::string(ValueAfter(line, kMessage));
                    ids.assign(1, 0);
                    names.assign(1, std::string());
                    break;
                case KIND_MEMBER_LIST:
                    listCount = ParseNumber(ValueAfter(line, kMemberSize));
                    break;
                case KIND_SPEAKING_LIST:
                    listCount = ParseNumber(ValueAfter(line, kSpeakingMemberSize));
                    break;
                case KIND_VOICE_DATA: {
                    // Never read past the line: a short payload leaves the
                    // frame incomplete, and it is not played.
                    std::string_view payload = VoicePayload(ValueAfter(line, kVoiceData));
                    if (payload.size() == voiceFrame.size()) {
                        std::copy(payload.begin(), payload.end(), voiceFrame.begin());
                        voiceFrameComplete = true;
                    }
                    break;
                }
                default:
                    break;
            }
            break;
        }
        case KIND_LOGIN_SUCCEEDED:
            if (StartsWith(line, kId)) {
                ids[0] = ParseNumber(ValueAfter(line, kId));
            } else if (StartsWith(line, kVoicePass)) {
                voicePass = ParseNumber(ValueAfter(line, kVoicePass));
            }
            break;
        case KIND_MEMBER_LOGIN:
        case KIND_MEMBER_LOGOUT:
        case KIND_MESSAGE:
            if (StartsWith(line, kId)) {
                ids[0] = ParseNumber(ValueAfter(line, kId));
            } else if (StartsWith(line, kName)) {
                names[0] = std::string(ValueAfter(line, kName));
            }
            break;
        case KIND_MEMBER_LIST:
        case KIND_SPEAKING_LIST:
            // Entries are kept as they complete, so a header that promises
            // more than arrives shows only what did arrive.
            if (entriesFilled >= listCount) break;
            if (StartsWith(line, kId)) {
                pendingListId_ = ParseNumber(ValueAfter(line, kId));
            } else if (StartsWith(line, kName)) {
                ids.push_back(pendingListId_);
                names.emplace_back(ValueAfter(line, kName));
                pendingListId_ = 0;
                ++entriesFilled;
            }
            break;
        case KIND_LOGIN_FAILED:
        case KIND_LOGOUT_SUCCEEDED:
        case KIND_DISCONNECTED:
        case KIND_VOICE_DATA:
            break;
    }
}

std::string JoinedLogLine(const std::string& name) { return name + std::string(tessik::kJoinedSuffix); }

std::string LeftLogLine(const std::string& name) { return name + std::string(tessik::kLeftSuffix); }

std::string ChatLogLine(const std::string& name, const std::string& text) {
    return name + std::string(tessik::kChatSeparator) + text + std::string(tessik::kLogLineEnd);
}

MessageOutcome IncomingMessage::Apply(MemberList& members) const {
    MessageOutcome out;
    switch (kind) {
        case KIND_NONE:
            break;
        case KIND_SPEAKING_LIST:
            // Marks who speaks; the list's members and order stay.
            out.membersChanged = members.SetSpeakers(ids);
            break;
        case KIND_LOGIN_SUCCEEDED:
            out.takeIdentity = true;
            out.id = ids.empty() ? 0 : ids[0];
            out.voicePass = voicePass;
            break;
        case KIND_LOGIN_FAILED:
            out.closeSession = true;
            out.notice = std::string(tessik::kLoginRefused);
            break;
        case KIND_LOGOUT_SUCCEEDED:
            out.closeSession = true;
            break;
        case KIND_DISCONNECTED:
            out.closeSession = true;
            out.notice = std::string(tessik::kDisconnectedNotice);
            break;
        case KIND_MEMBER_LOGIN:
            out.membersChanged = members.Insert(ids[0], names[0]);
            out.logText = JoinedLogLine(names[0]);
            break;
        case KIND_MEMBER_LOGOUT:
            out.membersChanged = members.Remove(ids[0]);
            out.logText = LeftLogLine(names[0]);
            break;
        case KIND_MESSAGE:
            out.logText = ChatLogLine(names[0], text);
            break;
        case KIND_MEMBER_LIST:
            members.Replace(ids, names);
            out.membersChanged = true;
            break;
        case KIND_VOICE_DATA:
            out.playVoice = voiceFrameComplete;
            break;
    }
    return out;
}
