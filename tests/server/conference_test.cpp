// The conference core on its own: events in, deliveries out, without a
// thread or a socket. Expected bytes are written out here, not taken from
// the server's formatting.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "protocol/voice_codec.h"
#include "server/conference.h"
#include "server/record_codes.h"

namespace {

using Clock = ConferenceSink::Clock;
using Sent = ConferenceSink::Sent;

class RecordingSink : public ConferenceSink {
public:
    struct AgeCheck {
        int slot;
        Clock::time_point cutoff;
        std::uint64_t spared;
    };

    explicit RecordingSink(int slots) : received(static_cast<std::size_t>(slots)), answer(received.size(), Sent::kQueued) {}

    Sent Send(int slot, const WireRef& record) override {
        const Sent a = answer[static_cast<std::size_t>(slot)];
        if (a == Sent::kQueued) received[static_cast<std::size_t>(slot)].push_back(record->bytes);
        return a;
    }
    void End(int slot, std::string_view why) override { ended.emplace_back(std::to_string(slot) + " " + std::string(why)); }
    void EndIfConnectedBefore(int slot, Clock::time_point cutoff, std::uint64_t spared) override {
        ageChecks.push_back({slot, cutoff, spared});
    }

    // What the slot got since the last call.
    std::vector<std::string> Take(int slot) {
        std::vector<std::string> got;
        got.swap(received[static_cast<std::size_t>(slot)]);
        return got;
    }
    void Clear() {
        for (auto& r : received) r.clear();
    }

    std::vector<std::vector<std::string>> received;
    std::vector<Sent> answer;
    std::vector<std::string> ended;
    std::vector<AgeCheck> ageChecks;
};

using Strings = std::vector<std::string>;

SessionEvent Event(int code, std::uint64_t connection = 1) {
    SessionEvent e;
    e.code = code;
    e.connection = connection;
    return e;
}

SessionEvent LoginEvent(std::string_view name) {
    SessionEvent e = Event(EV_LOGIN);
    e.SetName(name);
    return e;
}

SessionEvent TextEvent(int code, std::string_view text) {
    SessionEvent e = Event(code);
    e.SetText(text);
    return e;
}

std::string Uniform(char c) { return std::string(128, c); }

class ConferenceTest : public ::testing::Test {
protected:
    static constexpr int kSlots = 4;

    // Logs the slot in and forgets what anyone got for it.
    void LogIn(int slot, std::string_view name) {
        conference.Handle(slot, LoginEvent(name));
        sink.Clear();
    }

    RecordingSink sink{kSlots};
    Conference conference{kSlots, sink, std::chrono::milliseconds(1000)};
};

TEST_F(ConferenceTest, LoginIsAnsweredThenAnnouncedToEveryoneWithTheLowestFreeIdAndItsVoicePass) {
    conference.Handle(2, LoginEvent("carol"));
    EXPECT_EQ(sink.Take(2), (Strings{"login succeeded\r\nID:00001\r\nVoicePass:00110\r\n\r\n",
                                     "Member login\r\nID:00001\r\nName:carol\r\n\r\n"}));
    EXPECT_EQ(sink.Take(0), Strings{"Member login\r\nID:00001\r\nName:carol\r\n\r\n"});
    sink.Clear();
    conference.Handle(0, LoginEvent("alice"));
    EXPECT_EQ(sink.Take(0)[0], "login succeeded\r\nID:00002\r\nVoicePass:00207\r\n\r\n");
    sink.Clear();
    conference.Handle(1, LoginEvent("bob"));
    EXPECT_EQ(sink.Take(1)[0], "login succeeded\r\nID:00003\r\nVoicePass:00048\r\n\r\n");
    // ID 2 leaves; the next login, in another slot, takes 2 again.
    conference.Handle(0, Event(EV_LOGOUT));
    sink.Clear();
    conference.Handle(3, LoginEvent("dave"));
    EXPECT_EQ(sink.Take(3)[0], "login succeeded\r\nID:00002\r\nVoicePass:00207\r\n\r\n");
    EXPECT_EQ(conference.IdAt(3), 2);
    EXPECT_EQ(conference.IdAt(0), 0);
}

TEST_F(ConferenceTest, ASecondLoginOnAConnectionIsIgnoredAndARefusedReplyGivesNoId) {
    LogIn(0, "alice");
    conference.Handle(0, LoginEvent("again"));
    for (int slot = 0; slot < kSlots; ++slot) EXPECT_TRUE(sink.Take(slot).empty()) << slot;
    EXPECT_EQ(conference.NameAt(0), "alice");
    // A connection already gone is told nothing, and no one hears of it.
    sink.answer[1] = Sent::kRefused;
    conference.Handle(1, LoginEvent("gone"));
    EXPECT_EQ(conference.IdAt(1), 0);
    EXPECT_TRUE(sink.Take(0).empty());
    sink.answer[1] = Sent::kQueued;
    conference.Handle(1, LoginEvent("back"));
    EXPECT_EQ(sink.Take(1)[0], "login succeeded\r\nID:00002\r\nVoicePass:00207\r\n\r\n");
}

TEST_F(ConferenceTest, NamesAreStoredCutTo49AnnouncedWholeAndCutTo24OnLeaving) {
    const std::string name(60, 'n');
    conference.Handle(1, LoginEvent(name));
    EXPECT_EQ(sink.Take(0), Strings{"Member login\r\nID:00001\r\nName:" + name + "\r\n\r\n"});
    sink.Clear();
    conference.Handle(0, Event(EV_WHO));
    EXPECT_EQ(sink.Take(0), Strings{"Member Size:00001\r\nID:00001\r\nName:" + name.substr(0, 49) + "\r\n\r\n"});
    conference.Handle(0, TextEvent(EV_MESSAGE, "hi"));
    EXPECT_EQ(sink.Take(1), Strings{"Message:hi\r\nID:00000\r\nName:\r\n\r\n"});
    sink.Clear();
    conference.Handle(1, Event(EV_LOGOUT));
    EXPECT_EQ(sink.Take(1), Strings{"logout succeeded\r\n\r\n"});
    EXPECT_EQ(sink.Take(0), Strings{"Member logout\r\nID:00001\r\nName:" + name.substr(0, 24) + "\r\n\r\n"});
    sink.Clear();
    // Someone who never logged in leaves unannounced.
    conference.Handle(2, Event(EV_LOGOUT));
    EXPECT_EQ(sink.Take(2), Strings{"logout succeeded\r\n\r\n"});
    EXPECT_TRUE(sink.Take(0).empty());
    EXPECT_EQ(sink.Take(1), Strings{});
}

TEST_F(ConferenceTest, TheMemberListFollowsSlotsNotIds) {
    LogIn(3, "first");
    LogIn(1, "second");
    conference.Handle(0, Event(EV_WHO));
    EXPECT_EQ(sink.Take(0), Strings{"Member Size:00002\r\nID:00002\r\nName:second\r\nID:00001\r\nName:first\r\n\r\n"});
    EXPECT_TRUE(sink.Take(1).empty());
}

TEST_F(ConferenceTest, TheSpeakingListGoesOnlyToWhoAskedAndOnlyWhenItChanges) {
    LogIn(0, "a");
    LogIn(1, "b");
    conference.Handle(2, Event(EV_WHO_SPEAKING));
    EXPECT_EQ(sink.Take(2), Strings{"Speaking Member Size:00000\r\n\r\n"});
    conference.Handle(1, Event(EV_VOICE_START));
    conference.Handle(1, Event(EV_VOICE_START));  // no change: nothing
    conference.Handle(0, Event(EV_VOICE_START));
    conference.Handle(3, Event(EV_VOICE_START));  // no member: not listed
    EXPECT_EQ(sink.Take(2), (Strings{"Speaking Member Size:00001\r\nID:00002\r\nName:b\r\n\r\n",
                                     "Speaking Member Size:00002\r\nID:00001\r\nName:a\r\nID:00002\r\nName:b\r\n\r\n"}));
    EXPECT_TRUE(sink.Take(0).empty());
    EXPECT_TRUE(sink.Take(1).empty());
    conference.Handle(0, Event(EV_LOGOUT));
    EXPECT_EQ(sink.Take(2).back(), "Speaking Member Size:00001\r\nID:00002\r\nName:b\r\n\r\n");
    // The asker's own departure ends its subscription.
    conference.Handle(2, Event(EV_LOGOUT));
    sink.Clear();
    conference.Handle(1, Event(EV_VOICE_STOP));
    EXPECT_TRUE(sink.Take(2).empty());
}

TEST_F(ConferenceTest, FramesOfEverySpeakerAreMixedAndSentToEveryone) {
    LogIn(0, "a");
    LogIn(1, "b");
    conference.Handle(0, Event(EV_VOICE_START));
    conference.Handle(1, Event(EV_VOICE_START));
    // '0' stands for 0, 'z' for 35 * 4 = 140: the mean 70 travels as 'h'.
    conference.Handle(0, TextEvent(EV_VOICE_DATA, Uniform('0')));
    for (int slot = 0; slot < kSlots; ++slot) EXPECT_TRUE(sink.Take(slot).empty()) << slot;
    conference.Handle(1, TextEvent(EV_VOICE_DATA, Uniform('z') + "longer"));
    for (int slot = 0; slot < kSlots; ++slot) {
        EXPECT_EQ(sink.Take(slot), Strings{"Voice Data:" + Uniform(protocol::EncodeSample(70)) + "\r\n\r\n"}) << slot;
    }
    EXPECT_EQ(protocol::EncodeSample(70), 'h');
    // A short payload and voice from someone not speaking are dropped.
    conference.Handle(0, TextEvent(EV_VOICE_DATA, Uniform('1').substr(1)));
    conference.Handle(2, TextEvent(EV_VOICE_DATA, Uniform('1')));
    conference.Handle(1, TextEvent(EV_VOICE_DATA, Uniform('1')));
    EXPECT_TRUE(sink.Take(3).empty());
}

TEST_F(ConferenceTest, AClientTooFarBehindIsEndedWithItsIdAndName) {
    LogIn(0, "a");
    LogIn(1, "slow");
    sink.answer[1] = Sent::kOverflow;
    conference.Handle(0, TextEvent(EV_MESSAGE, "flood"));
    ASSERT_EQ(sink.ended.size(), 1u);
    EXPECT_EQ(sink.ended[0],
              "1 ended the connection of member 00002 \"slow\": more than 1048576 bytes of text were waiting for it "
              "(the client does not read)");
    EXPECT_EQ(sink.Take(0), Strings{"Message:flood\r\nID:00001\r\nName:a\r\n\r\n"});
}

TEST_F(ConferenceTest, TheLoginLimitSparesMembersAndTheConnectionThatIsLeaving) {
    LogIn(1, "member");
    conference.Handle(2, Event(EV_LOGOUT, 7));
    const Clock::time_point now = Clock::now();
    conference.CheckLoginLimit(now);
    // Slots 0, 2 and 3 have no member; the connection that just left slot 2
    // is spared (its reply is still on its way), any later one there is not.
    ASSERT_EQ(sink.ageChecks.size(), 3u);
    EXPECT_EQ(sink.ageChecks[0].slot, 0);
    EXPECT_EQ(sink.ageChecks[0].spared, 0u);
    EXPECT_EQ(sink.ageChecks[1].slot, 2);
    EXPECT_EQ(sink.ageChecks[1].spared, 7u);
    EXPECT_EQ(sink.ageChecks[2].slot, 3);
    for (const auto& check : sink.ageChecks) EXPECT_EQ(check.cutoff, now - std::chrono::milliseconds(1000));
    // A member who logs out is spared the same way.
    conference.Handle(1, Event(EV_LOGOUT, 3));
    sink.ageChecks.clear();
    conference.CheckLoginLimit(now);
    ASSERT_EQ(sink.ageChecks.size(), 4u);
    EXPECT_EQ(sink.ageChecks[1].slot, 1);
    EXPECT_EQ(sink.ageChecks[1].spared, 3u);

    RecordingSink other(2);
    Conference unlimited(2, other, std::chrono::milliseconds(0));
    unlimited.CheckLoginLimit(now);
    EXPECT_TRUE(other.ageChecks.empty());
}

}  // namespace
