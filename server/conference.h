// The conference itself, without threads or sockets: who each member is
// (ID, VoicePass, name), which IDs are free, who speaks and who wants to hear
// about it, the voice mixer, and which connections must end (clients that
// fall hopelessly behind, connections that never log in). It takes one event
// at a time and tells its sink what to send to whom; master_thread applies
// that to the sessions.
//
// Connections are known by their slot (the session's index). A request that
// concerns one connection alone is a handler that reads and writes that
// slot's Member and answers through Send(slot, ...).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/message_history.h"
#include "server/outgoing_message.h"
#include "server/session_event.h"
#include "server/voice_mixer.h"
#include "server/wire_record.h"
#if ORVANE_HAVE_WIDEBAND
#include "server/voice_bridge.h"
#include "server/wideband_mixer.h"
#endif

// How long a connection may stay without sending "login:" before it is
// closed, so that connections that never log in cannot hold every slot.
inline constexpr int kLoginLimitMs = 60 * 1000;

// The VoicePass a member with this ID receives: 0 to 255, always the same
// for the same ID.
int VoicePassFor(int id);

// Where the conference's decisions go.
class ConferenceSink {
public:
    using Clock = std::chrono::steady_clock;
    enum class Sent {
        kQueued,
        // The connection is gone: nothing was queued.
        kRefused,
        // The client has more text waiting than it may (see SessionOutbox).
        kOverflow,
    };

    virtual ~ConferenceSink() = default;
    // Queues the record for the connection in the slot, without waiting.
    virtual Sent Send(int slot, const WireRef& record) = 0;
    // Ends the slot's connection as a lost one; why is told on the error
    // stream.
    virtual void End(int slot, std::string_view why) = 0;
    // Ends the slot's connection when it was taken before cutoff, unless it
    // is the connection numbered spared (0: none). Test and end are one step,
    // so that a newer connection in the slot is never ended by mistake.
    virtual void EndIfConnectedBefore(int slot, Clock::time_point cutoff, std::uint64_t spared) = 0;
    // The slot holds a connection, logged in or not (one that would be sent
    // today's voice frames). Today's mix skips the wideband speakers while no
    // connection that hears it is there; a sink that cannot tell says yes.
    virtual bool HasConnection(int /*slot*/) { return true; }
};

class Conference {
public:
    using Clock = ConferenceSink::Clock;
    using Entries = std::vector<std::pair<int, std::string>>;

    // loginLimit 0 or less: connections may stay without logging in. pool:
    // where records come from (null: each is made afresh). historyLimit: how
    // many relayed messages a late joiner who asks is shown.
    Conference(int slots, ConferenceSink& sink, std::chrono::milliseconds loginLimit, WireRecordPool* pool = nullptr,
               int historyLimit = MessageHistory::kDefaultLimit);
    Conference(const Conference&) = delete;
    Conference& operator=(const Conference&) = delete;

    // One event from the connection in the slot, then every mixed frame that
    // has become complete. nowUs: monotonic time in microseconds, which
    // times the wideband rounds (the first form reads the steady clock).
    void Handle(int slot, const SessionEvent& event);
    void Handle(int slot, const SessionEvent& event, std::int64_t nowUs);
    // Mixes and sends the wideband rounds that are due by now, a round that
    // has waited long enough for a late speaker included.
    void RunVoiceRounds(std::int64_t nowUs);
    // When RunVoiceRounds must be called next, whatever else happens; none
    // when no round waits (and always without wideband voice).
    std::optional<std::int64_t> VoiceDeadline() const;
    static std::int64_t NowUs();
    // Ends the connections that have stayed longer than the login limit
    // without logging in (a member's, and one that is leaving, are spared).
    void CheckLoginLimit(Clock::time_point now);

    // The member in the slot (0 when none) and its name.
    int IdAt(int slot) const { return At(slot).id; }
    std::string_view NameAt(int slot) const { return At(slot).name; }

private:
    // What the conference knows about the connection in one slot. Filled by
    // the login, emptied when the connection's logout is handled (the last
    // event any connection posts), so it describes the slot's current
    // connection.
    struct Member {
        int id = 0;
        int voicePass = 0;
        bool hasName = false;
        // At most kMaxNameLength characters.
        std::string name;
        // Asked "Who are speaking?": hears the speaking list on every change.
        bool wantsSpeakers = false;
        // Asked for wideband voice and was answered: its voice travels as
        // Opus packets, numbered from 0 in each direction.
        bool wideband = false;
        int opusSequence = 0;
    };

    Member& At(int slot) { return members_[static_cast<std::size_t>(slot)]; }
    const Member& At(int slot) const { return members_[static_cast<std::size_t>(slot)]; }
    WireRef Format(const OutgoingMessage& m) { return WireRef::Format(m, pool_); }
    ConferenceSink::Sent SendTo(int slot, const WireRef& record);
    void SendToAll(const WireRef& record, int exceptSlot = -1);

    void Login(int slot, const SessionEvent& event);
    void Relay(int slot, const SessionEvent& event);
    void MemberList(int slot);
    void SendHistory(int slot);
    void SubscribeToSpeakers(int slot);
    void SpeakersMayHaveChanged();
    void Logout(int slot, const SessionEvent& event);
    void PutVoice(int slot, const SessionEvent& event, std::int64_t nowUs);
    void SendMixedFrames();
    // The wideband side (conference_wideband.cpp).
    void AskForWideband(int slot);
    void StartSpeaking(int slot);
    void StopSpeaking(int id);
    void PutOpus(int slot, const SessionEvent& event, std::int64_t nowUs);
    bool CarryDownward();

    void BuildSpeakingList(Entries* list);
    const OutgoingMessage& SpeakingListRecord(const Entries& list);

    ConferenceSink& sink_;
    std::chrono::milliseconds loginLimit_;
    WireRecordPool* pool_;
    std::vector<Member> members_;
    // Per slot: the connection whose logout was handled last. It is leaving
    // (its writer has "logout succeeded" still to send) and must not be
    // taken for one that never logged in.
    std::vector<std::uint64_t> leaving_;
    CVoiceMixer mixer_;
    MessageHistory history_;
    // The history answer being sent, kept for its capacity.
    std::vector<WireRef> historyAnswer_;
    // Connections that asked for wideband voice.
    int widebandConnections_ = 0;
#if ORVANE_HAVE_WIDEBAND
    CWidebandMixer wideMixer_;
    CVoiceBridge bridge_{wideMixer_};
    std::string base64_;
    // No connection hears today's mix: wideband voices are not carried down.
    bool carryPaused_ = false;
#endif
    CVoiceMixer::Frame frame_{};
    CVoiceMixer::Frame mixed_{};
    OutgoingMessage reply_;
    OutgoingMessage announcement_;
    std::vector<bool> taken_;
    // Connections that asked for the speaking list.
    int speakerSubscribers_ = 0;
    // The speaking list as last sent, and the one being compared with it.
    Entries lastSpeakers_;
    Entries speakers_;
};
