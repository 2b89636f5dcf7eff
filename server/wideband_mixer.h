// Mixes wideband voice in rounds of 10 ms at 48 kHz. Every speaker has a
// short queue: a wideband speaker's Opus packets (decoded here, each by the
// speaker's own decoder, so that a missing packet is made up by the codec's
// concealment) or a legacy speaker's voice already resampled to 10 ms
// frames. A round goes out as soon as every speaker present has a frame, and
// never waits longer than about two frames for one who is late. Voices are
// summed at their own level and limited, never averaged. Each round yields,
// encoded: for every wideband speaker the mix without its own voice, and
// one mix of everyone for the listeners who do not speak, encoded once.
//
// No threads and no clock of its own: the caller passes the time with every
// call and asks Deadline() when to call again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "protocol/opus_codec.h"
#include "server/resampler.h"

class CWidebandMixer {
public:
    // A round that has waited this long for a late speaker goes on without
    // it (about two frames).
    static constexpr std::int64_t kWaitUs = 2 * protocol::kWidebandFrameMs * 1000;
    // Frames one speaker may have waiting; a newer one pushes out the oldest.
    static constexpr int kQueueLimit = 4;
    // A speaker whose queue still held a frame after each of this many
    // rounds in a row sends faster than the rounds go (its sound card runs
    // fast): one of its frames is dropped, and no one else's.
    static constexpr int kDriftRounds = 20;
    // Concealment fades a lost voice out within a few frames; after this many
    // made-up frames in a row an absent speaker adds silence without decoding.
    static constexpr int kConcealFrames = 5;
    // The encoders' effort (0 to 10): the server encodes one stream per
    // wideband speaker and one for the listeners. The least effort costs
    // about 40 % of the CPU of 5 and keeps voice as well (wideband_bench's
    // BM_ServerEncoderQuality: the same SNR and log-spectral distance below
    // 8 kHz, about half a dB more distance above it on hiss), so the server
    // spends none; peaks of a limited mix overshoot full scale a little more
    // (about a tenth rather than 7 %).
    static constexpr int kComplexity = 0;

    CWidebandMixer();
    ~CWidebandMixer();
    CWidebandMixer(const CWidebandMixer&) = delete;
    CWidebandMixer& operator=(const CWidebandMixer&) = delete;

    // A wideband speaker: sends Opus packets, hears its own mix. An ID
    // already held changes nothing.
    void AddOpusSpeaker(int id);
    // A legacy speaker: sends resampled frames, hears today's mixer.
    void AddPcmSpeaker(int id);
    // False when the ID does not speak.
    bool RemoveSpeaker(int id);

    // Queues a wideband speaker's packet. False, changing nothing, when the
    // ID is not a wideband speaker, the packet is not one 10 ms Opus packet,
    // or its sequence number is not after the last one (late or repeated).
    // Packets skipped by the sequence (up to two) are queued as lost, so the
    // timeline keeps its length.
    bool PutPacket(int id, int sequence, std::span<const std::uint8_t> packet, std::int64_t nowUs);
    // Queues a legacy speaker's frame; false when the ID is not one.
    bool PutPcm(int id, const WidebandFrame& frame, std::int64_t nowUs);

    // A round can be mixed now.
    bool IsRoundDue(std::int64_t nowUs) const;
    // When a round that waits for a late speaker goes on without it; none
    // when nothing waits.
    std::optional<std::int64_t> Deadline() const;
    // Mixes one round when one is due, taking one frame from each speaker
    // that has one and making up the others. listeners: also encode the mix
    // of everyone (skip it when no one listens without speaking).
    bool MixRound(std::int64_t nowUs, bool listeners);

    // Of the last round: the listeners' packet (empty when not asked for),
    // a wideband speaker's own packet (empty for another ID), and what a
    // speaker put into it (null for an ID that does not speak).
    std::span<const std::uint8_t> ListenerPacket() const;
    std::span<const std::uint8_t> OwnPacket(int id) const;
    const WidebandFrame* Voice(int id) const;

    int SpeakerCount() const { return static_cast<int>(speakers_.size()); }
    // -1 for an ID that does not speak.
    int QueuedFrames(int id) const;
    // Frames made up for the speaker and frames of its own dropped, since it
    // started speaking.
    int ConcealedFrames(int id) const;
    int DroppedFrames(int id) const;

private:
    struct Entry {
        std::int64_t arrivalUs = 0;
        // Stands for a packet the sequence skipped.
        bool lost = false;
        int size = 0;
        std::array<std::uint8_t, protocol::kMaxOpusPacketBytes> packet{};
        WidebandFrame pcm{};
    };
    struct Speaker;

    Speaker* Find(int id);
    const Speaker* Find(int id) const;
    void Add(int id, bool opus);
    Entry& PushEntry(Speaker& speaker, std::int64_t nowUs);
    void TakeVoice(Speaker& speaker);

    // In the order the members started speaking.
    std::vector<std::unique_ptr<Speaker>> speakers_;
    protocol::COpusEncoder listenerEncoder_;
    std::array<std::uint8_t, protocol::kOpusMaxEncodedBytes> listenerPacket_{};
    int listenerSize_ = 0;
    WidebandFrame sum_{};
    WidebandFrame scratch_{};
};
