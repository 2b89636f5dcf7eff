// The conference's wideband voice, driven directly with its own timeline:
// who gets the answer, which stream each kind of connection gets, what each
// one hears (decoded and measured), and how long a round waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/base64.h"
#include "protocol/voice_codec.h"
#include "protocol/wideband_messages.h"
#include "server/conference.h"
#include "server/record_codes.h"
#include "server/wideband_voices.h"

namespace {

using namespace wideband_voices;

class Sink : public ConferenceSink {
public:
    explicit Sink(int slots) : received(static_cast<std::size_t>(slots)), connected(static_cast<std::size_t>(slots), true) {}
    Sent Send(int slot, const WireRef& record) override {
        received[static_cast<std::size_t>(slot)].push_back(record->bytes);
        return Sent::kQueued;
    }
    void End(int, std::string_view) override {}
    void EndIfConnectedBefore(int, Clock::time_point, std::uint64_t) override {}
    bool HasConnection(int slot) override { return connected[static_cast<std::size_t>(slot)]; }
    std::vector<std::string> Take(int slot) {
        std::vector<std::string> got;
        got.swap(received[static_cast<std::size_t>(slot)]);
        return got;
    }
    std::vector<std::vector<std::string>> received;
    std::vector<bool> connected;
};

SessionEvent Event(int code) {
    SessionEvent e;
    e.code = code;
    e.connection = 1;
    return e;
}

SessionEvent Login(std::string_view name) {
    SessionEvent e = Event(EV_LOGIN);
    e.SetName(name);
    return e;
}

SessionEvent Opus(int sequence, std::span<const std::uint8_t> packet) {
    SessionEvent e = Event(EV_OPUS_DATA);
    e.sequence = sequence;
    e.SetText(std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()));
    return e;
}

SessionEvent Legacy(const LegacyFrame& frame) {
    std::string payload;
    for (std::uint8_t v : frame) payload.push_back(protocol::EncodeSample(v));
    SessionEvent e = Event(EV_VOICE_DATA);
    e.SetText(payload);
    return e;
}

std::string Name(int slot) {
    std::string name = "m";
    name += std::to_string(slot);
    return name;
}

const std::string kAnswer = "Voice Codec:opus\r\nRate:48000\r\nFrame:10\r\n\r\n";

// Splits what one connection received into the two kinds of voice.
struct Streams {
    std::vector<int> sequences;
    Listener wide;
    std::vector<float> legacy;  // today's frames decoded, -1 to 1
    std::vector<std::string> other;

    void Add(const std::vector<std::string>& messages) {
        for (const std::string& m : messages) {
            protocol::OpusData data;
            if (m.starts_with("Opus Data:") && m.ends_with("\r\n\r\n") &&
                protocol::ParseOpusDataLine(std::string_view(m).substr(0, m.size() - 4), data)) {
                sequences.push_back(data.sequence);
                wide.Take(std::span(reinterpret_cast<const std::uint8_t*>(data.packet.data()), data.packet.size()));
            } else if (m.starts_with("Voice Data:") && m.size() == 11 + 128 + 4) {
                LegacyFrame f;
                std::memcpy(f.data(), m.data() + 11, 128);
                protocol::DecodeVoiceFrame(f.data());
                for (std::uint8_t v : f) legacy.push_back((v - 128) / 128.0f);
            } else {
                other.push_back(m);
            }
        }
    }
};

class ConferenceWidebandTest : public ::testing::Test {
protected:
    static constexpr int kSlots = 4;

    void SetUp() override {
        for (int slot = 0; slot < kSlots; ++slot) conference.Handle(slot, Login(Name(slot)), now);
        for (int slot = 0; slot < kSlots; ++slot) sink.Take(slot);
    }
    void Handle(int slot, const SessionEvent& e) { conference.Handle(slot, e, now); }
    void Ask(int slot) {
        Handle(slot, Event(EV_VOICE_CODEC));
        ASSERT_EQ(sink.Take(slot), std::vector<std::string>{kAnswer});
    }
    // Runs the timeline in 1 ms steps, a packet every 10 ms from each
    // wideband speaker and a frame every 16 ms from each legacy one.
    void Run(int ms, const std::vector<std::pair<int, ToneSpeaker*>>& wide,
             const std::vector<std::pair<int, double>>& legacy) {
        for (int i = 0; i < ms; ++i, now += 1000, ++tick) {
            if (tick % 10 == 0) {
                for (auto [slot, speaker] : wide) {
                    auto packet = speaker->Next();
                    Handle(slot, Opus(speaker->Sequence(), packet));
                }
            }
            if (tick % 16 == 0) {
                for (auto [slot, hz] : legacy) Handle(slot, Legacy(LegacyTone(hz, 0.4, tick / 16)));
            }
            conference.RunVoiceRounds(now);
        }
    }

    Sink sink{kSlots};
    Conference conference{kSlots, sink, std::chrono::milliseconds(0)};
    std::int64_t now = 1'000'000;
    int tick = 0;
};

TEST_F(ConferenceWidebandTest, TheRequestIsAnsweredToThatConnectionAloneWithTheExactBytes) {
    Handle(1, Event(EV_VOICE_CODEC));
    EXPECT_EQ(sink.Take(1), std::vector<std::string>{kAnswer});
    for (int slot : {0, 2, 3}) EXPECT_TRUE(sink.Take(slot).empty()) << slot;
    // Opus packets from a connection that does not speak, or that never
    // asked, are dropped without a trace.
    ToneSpeaker s(1000, 0.3);
    auto packet = s.Next();
    Handle(1, Opus(s.Sequence(), packet));
    Handle(0, Event(EV_VOICE_START));
    Handle(0, Opus(s.Sequence() + 1, packet));
    conference.RunVoiceRounds(now + 1'000'000);
    for (int slot = 0; slot < kSlots; ++slot) EXPECT_TRUE(sink.Take(slot).empty()) << slot;
}

// A legacy listener's bytes with a silent wideband member present equal those
// of a conference where no one asked.
TEST_F(ConferenceWidebandTest, LegacyTrafficIsByteIdenticalWhileWidebandMembersListen) {
    Sink plainSink(kSlots);
    Conference plain(kSlots, plainSink, std::chrono::milliseconds(0));
    for (int slot = 0; slot < kSlots; ++slot) plain.Handle(slot, Login(Name(slot)), now);
    for (int slot = 0; slot < kSlots; ++slot) plainSink.Take(slot);
    Ask(3);
    for (int slot : {0, 1}) {
        Handle(slot, Event(EV_VOICE_START));
        plain.Handle(slot, Event(EV_VOICE_START), now);
    }
    for (int frame = 0; frame < 60; ++frame, now += 16000) {
        for (int slot : {0, 1}) {
            SessionEvent e = Legacy(LegacyTone(slot ? 440 : 1000, 0.4, frame));
            Handle(slot, e);
            plain.Handle(slot, e, now);
        }
        conference.RunVoiceRounds(now + 8000);
    }
    for (int slot : {0, 1, 2}) {
        auto got = sink.Take(slot);
        EXPECT_EQ(got.size(), 60u) << slot;
        EXPECT_EQ(got, plainSink.Take(slot)) << slot;
    }
    // The wideband member hears the two of them in its own stream instead.
    Streams wide;
    wide.Add(sink.Take(3));
    EXPECT_TRUE(wide.legacy.empty());
    EXPECT_TRUE(wide.other.empty());
    ASSERT_GT(wide.sequences.size(), 80u);
    for (std::size_t i = 0; i < wide.sequences.size(); ++i) EXPECT_EQ(wide.sequences[i], static_cast<int>(i));
    EXPECT_GT(LevelDb(wide.wide.Tail(), 1000, 0.4), -3.0);
    EXPECT_GT(LevelDb(wide.wide.Tail(), 440, 0.4), -3.0);
}

TEST_F(ConferenceWidebandTest, EachKindOfListenerHearsBothKindsOfSpeakerAndASpeakerNotItself) {
    Ask(1);
    Ask(2);
    // 1100 Hz: today's 6-bit frames of the 440 Hz tone carry a distortion
    // product at 1000 Hz, 40 dB down, which is no part of the speaker's voice.
    ToneSpeaker wideSpeaker(1100, 0.3);
    Handle(0, Event(EV_VOICE_START));  // legacy, 440 Hz
    Handle(1, Event(EV_VOICE_START));  // wideband, 1100 Hz
    Run(1000, {{1, &wideSpeaker}}, {{0, 440}});
    Streams legacyListener, speaker, wideListener, legacyOnly;
    legacyListener.Add(sink.Take(0));
    speaker.Add(sink.Take(1));
    wideListener.Add(sink.Take(2));
    legacyOnly.Add(sink.Take(3));

    // Today's listeners hear the average of the two voices (each at half).
    for (Streams* s : {&legacyListener, &legacyOnly}) {
        EXPECT_TRUE(s->sequences.empty());
        ASSERT_GT(s->legacy.size(), 4000u);
        auto tail = std::span<const float>(s->legacy).last(4000);
        EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 1100, 8000) / 0.15), 0.0, 2.0);
        EXPECT_NEAR(tone::Db(tone::Amplitude(tail, 440, 8000) / 0.2), 0.0, 2.0);
    }
    // The wideband listener hears both at their own level; the speaker
    // hears the other one and not itself.
    EXPECT_NEAR(LevelDb(wideListener.wide.Tail(), 1100, 0.3), 0.0, 2.0);
    EXPECT_NEAR(LevelDb(wideListener.wide.Tail(), 440, 0.4), 0.0, 2.0);
    EXPECT_NEAR(LevelDb(speaker.wide.Tail(), 440, 0.4), 0.0, 2.0);
    EXPECT_LT(LevelDb(speaker.wide.Tail(), 1100, 0.3), -40.0);
    for (Streams* s : {&speaker, &wideListener}) {
        EXPECT_TRUE(s->legacy.empty());
        EXPECT_TRUE(s->other.empty());
        ASSERT_GT(s->sequences.size(), 90u);
        for (std::size_t i = 0; i < s->sequences.size(); ++i) EXPECT_EQ(s->sequences[i], static_cast<int>(i));
    }
}

TEST_F(ConferenceWidebandTest, ALateSpeakerIsConcealedAfterAboutTwoFramesAndAFastOneDoesNotPileUp) {
    Ask(0);
    Ask(1);
    Ask(2);
    ToneSpeaker a(1000, 0.3), b(600, 0.3);
    Handle(0, Event(EV_VOICE_START));
    Handle(1, Event(EV_VOICE_START));
    Run(200, {{0, &a}, {1, &b}}, {});
    EXPECT_EQ(sink.Take(2).size(), 20u);
    sink.Take(0);
    sink.Take(1);

    // b stalls: a's packet waits for it at most two frames.
    auto packet = a.Next();
    Handle(0, Opus(a.Sequence(), packet));
    ASSERT_TRUE(conference.VoiceDeadline().has_value());
    EXPECT_EQ(*conference.VoiceDeadline(), now + 20000);
    conference.RunVoiceRounds(now + 19999);
    EXPECT_TRUE(sink.Take(2).empty());
    conference.RunVoiceRounds(now + 20000);
    EXPECT_EQ(sink.Take(2).size(), 1u);
    EXPECT_EQ(sink.Take(1).size(), 1u);  // b hears a, with nothing of its own

    // a's card runs 5 % fast: the rounds keep b's pace and a's surplus is
    // dropped, not queued.
    now += 20000;
    for (int i = 0; i < 400; ++i, now += 10000) {
        for (int k = 0; k < (i % 20 == 19 ? 2 : 1); ++k) {
            auto p = a.Next();
            Handle(0, Opus(a.Sequence(), p));
        }
        auto p = b.Next();
        Handle(1, Opus(b.Sequence(), p));
    }
    const auto got = sink.Take(2).size();
    EXPECT_GE(got, 399u);
    EXPECT_LE(got, 403u);
    // What a still holds waits for b's next packet, and is recent.
    const auto deadline = conference.VoiceDeadline();
    EXPECT_TRUE(!deadline || *deadline >= now) << (deadline ? *deadline - now : 0);
}

// With no connection to hear today's mix, wideband voices are not carried
// down to it; a connection that arrives in mid-speech hears them from then
// on, at the full rate of frames and with nothing left over from before.
TEST_F(ConferenceWidebandTest, TodaysMixWaitsForAConnectionThatHearsItAndThenStartsClean) {
    for (int slot : {0, 1, 2}) Ask(slot);
    Handle(0, Event(EV_VOICE_START));
    ToneSpeaker loud(1000, 0.3), silent(1000, 0.0);
    int sequence = 0;
    auto speak = [&](ToneSpeaker& voice, int ms) {
        for (int i = 0; i < ms; i += 10, now += kFrameUs) {
            auto packet = voice.Next();
            Handle(0, Opus(sequence, packet));
            sequence = protocol::NextSequence(sequence);
            conference.RunVoiceRounds(now);
        }
    };
    // Heard by the legacy member in slot 3 while it is there.
    speak(loud, 300);
    Streams before;
    before.Add(sink.Take(3));
    EXPECT_GE(before.legacy.size(), 17u * 128);
    EXPECT_NEAR(tone::Db(tone::Amplitude(std::span<const float>(before.legacy).last(1280), 1000, 8000) / 0.3), 0.0, 2.0);

    // It leaves: no frame of today's voice is made any more (the sink
    // would record one for the empty slot).
    Handle(3, Event(EV_LOGOUT));
    sink.connected[3] = false;
    sink.Take(3);
    speak(loud, 100);
    speak(silent, 300);
    EXPECT_TRUE(sink.Take(3).empty());

    // A connection arrives, and hears from before its login: only the
    // silence now spoken, never the tone still held from before the pause.
    sink.connected[3] = true;
    speak(silent, 200);
    Handle(3, Login("late"));
    speak(silent, 800);
    Streams late;
    late.Add(sink.Take(3));
    ASSERT_EQ(late.legacy.size() % 128, 0u);
    const auto frames = late.legacy.size() / 128;
    EXPECT_GE(frames, 60u);
    EXPECT_LE(frames, 64u);
    EXPECT_LT(*std::max_element(late.legacy.begin(), late.legacy.end()), 0.02f);
    EXPECT_GT(*std::min_element(late.legacy.begin(), late.legacy.end()), -0.02f);
    // Then the tone again, at its level.
    speak(loud, 300);
    Streams again;
    again.Add(sink.Take(3));
    EXPECT_NEAR(tone::Db(tone::Amplitude(std::span<const float>(again.legacy).last(1280), 1000, 8000) / 0.3), 0.0, 2.0);

    // The wideband listeners' streams went on through it all, unbroken.
    Streams wide;
    wide.Add(sink.Take(1));
    EXPECT_TRUE(wide.legacy.empty());
    ASSERT_EQ(wide.sequences.size(), 200u);
    for (std::size_t i = 0; i < wide.sequences.size(); ++i) EXPECT_EQ(wide.sequences[i], static_cast<int>(i));
}

}  // namespace
