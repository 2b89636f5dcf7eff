// The client's message handling without widgets: server lines are folded
// into a message one by one and every empty line applies it to the member
// list, as the dialog's tick does. Checks the invariants the dialog relies
// on: the list's IDs and names stay parallel, a full list shows exactly the
// entries that arrived, and a voice frame is played only when whole.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/incoming_message.h"
#include "client/member_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    IncomingMessage message;
    MemberList members;
    while (!all.empty()) {
        size_t lf = all.find('\n');
        std::string_view line = all.substr(0, lf);
        all = lf == std::string_view::npos ? std::string_view() : all.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) {
            message.ParseLine(line);
            if (message.ids.size() != message.names.size() && message.kind != KIND_LOGIN_SUCCEEDED) std::abort();
            if (message.entriesFilled > message.listCount && message.entriesFilled > 0) std::abort();
            continue;
        }
        MessageOutcome outcome = message.Apply(members);
        if (outcome.playVoice && !message.voiceFrameComplete) std::abort();
        if (message.kind == KIND_MEMBER_LIST && message.listCount > 0) {
            if (members.Ids() != message.ids || members.Names() != message.names) std::abort();
        }
        if (outcome.closeSession) members.Clear();
        if (members.Ids().size() != members.Names().size()) std::abort();
        message.Reset();
    }
    return 0;
}
