#include "server/wideband_mixer.h"

#include <algorithm>

#include "protocol/voice_sequence.h"
#include "server/soft_limiter.h"

namespace {

// Packets a sequence gap may stand for in the queue; a longer gap (a client
// that restarted its count) is not worth more made-up sound.
constexpr int kMaxGapFrames = 2;
constexpr int kNoSequence = -1;

}  // namespace

struct CWidebandMixer::Speaker {
    int id = 0;
    bool opus = false;
    std::unique_ptr<protocol::COpusDecoder> decoder;
    // The speaker's own stream: the mix without its voice.
    std::unique_ptr<protocol::COpusEncoder> encoder;
    std::array<std::uint8_t, protocol::kOpusMaxEncodedBytes> ownPacket{};
    int ownSize = 0;

    // A ring of kQueueLimit entries.
    std::array<Entry, kQueueLimit> queue{};
    int head = 0;
    int count = 0;

    int lastSequence = kNoSequence;
    // Rounds wait for a present speaker; one that missed a round is absent,
    // and rounds go without waiting for it until its next frame comes.
    bool present = true;
    int concealRun = 0;
    int busyRounds = 0;
    int concealed = 0;
    int dropped = 0;
    WidebandFrame voice{};
};

CWidebandMixer::CWidebandMixer() : listenerEncoder_(kComplexity) {}
CWidebandMixer::~CWidebandMixer() = default;

CWidebandMixer::Speaker* CWidebandMixer::Find(int id) {
    for (auto& s : speakers_)
        if (s->id == id) return s.get();
    return nullptr;
}

const CWidebandMixer::Speaker* CWidebandMixer::Find(int id) const {
    for (const auto& s : speakers_)
        if (s->id == id) return s.get();
    return nullptr;
}

void CWidebandMixer::Add(int id, bool opus) {
    if (Find(id)) return;
    auto speaker = std::make_unique<Speaker>();
    speaker->id = id;
    speaker->opus = opus;
    if (opus) {
        speaker->decoder = std::make_unique<protocol::COpusDecoder>();
        speaker->encoder = std::make_unique<protocol::COpusEncoder>(kComplexity);
    }
    speakers_.push_back(std::move(speaker));
}

void CWidebandMixer::AddOpusSpeaker(int id) { Add(id, true); }
void CWidebandMixer::AddPcmSpeaker(int id) { Add(id, false); }

bool CWidebandMixer::RemoveSpeaker(int id) {
    auto it = std::find_if(speakers_.begin(), speakers_.end(), [id](const auto& s) { return s->id == id; });
    if (it == speakers_.end()) return false;
    speakers_.erase(it);
    return true;
}

CWidebandMixer::Entry& CWidebandMixer::PushEntry(Speaker& speaker, std::int64_t nowUs) {
    if (speaker.count == kQueueLimit) {
        speaker.head = (speaker.head + 1) % kQueueLimit;
        --speaker.count;
        ++speaker.dropped;
    }
    Entry& entry = speaker.queue[static_cast<std::size_t>((speaker.head + speaker.count) % kQueueLimit)];
    ++speaker.count;
    entry.arrivalUs = nowUs;
    entry.lost = false;
    entry.size = 0;
    speaker.present = true;
    return entry;
}

bool CWidebandMixer::PutPacket(int id, int sequence, std::span<const std::uint8_t> packet, std::int64_t nowUs) {
    Speaker* speaker = Find(id);
    if (!speaker || !speaker->opus) return false;
    if (packet.size() > protocol::kMaxOpusPacketBytes ||
        protocol::OpusPacketSamples(packet) != protocol::kWidebandFrameSamples)
        return false;
    if (speaker->lastSequence != kNoSequence) {
        if (!protocol::IsAfter(speaker->lastSequence, sequence)) return false;
        int gap = std::min(protocol::SequenceGap(speaker->lastSequence, sequence), kMaxGapFrames);
        for (int i = 0; i < gap; ++i) PushEntry(*speaker, nowUs).lost = true;
    }
    speaker->lastSequence = sequence;
    Entry& entry = PushEntry(*speaker, nowUs);
    entry.size = static_cast<int>(packet.size());
    std::copy(packet.begin(), packet.end(), entry.packet.begin());
    return true;
}

bool CWidebandMixer::PutPcm(int id, const WidebandFrame& frame, std::int64_t nowUs) {
    Speaker* speaker = Find(id);
    if (!speaker || speaker->opus) return false;
    PushEntry(*speaker, nowUs).pcm = frame;
    return true;
}

bool CWidebandMixer::IsRoundDue(std::int64_t nowUs) const {
    bool anyQueued = false;
    bool allPresentReady = true;
    std::int64_t oldest = 0;
    for (const auto& s : speakers_) {
        if (s->count > 0) {
            std::int64_t arrival = s->queue[static_cast<std::size_t>(s->head)].arrivalUs;
            oldest = anyQueued ? std::min(oldest, arrival) : arrival;
            anyQueued = true;
        } else if (s->present) {
            allPresentReady = false;
        }
    }
    return anyQueued && (allPresentReady || nowUs - oldest >= kWaitUs);
}

std::optional<std::int64_t> CWidebandMixer::Deadline() const {
    std::optional<std::int64_t> oldest;
    bool waiting = false;
    for (const auto& s : speakers_) {
        if (s->count > 0) {
            std::int64_t arrival = s->queue[static_cast<std::size_t>(s->head)].arrivalUs;
            oldest = oldest ? std::min(*oldest, arrival) : arrival;
        } else if (s->present) {
            waiting = true;
        }
    }
    if (!oldest || !waiting) return std::nullopt;
    return *oldest + kWaitUs;
}

void CWidebandMixer::TakeVoice(Speaker& s) {
    bool made = false;
    if (s.count > 0) {
        Entry& entry = s.queue[static_cast<std::size_t>(s.head)];
        s.head = (s.head + 1) % kQueueLimit;
        --s.count;
        if (!s.opus) {
            s.voice = entry.pcm;
            made = true;
        } else if (!entry.lost) {
            made = s.decoder->Decode(std::span(entry.packet.data(), static_cast<std::size_t>(entry.size)), s.voice.data());
        }
        if (made) s.concealRun = 0;
    } else {
        // It made this round wait: the next ones go without it.
        s.present = false;
    }
    if (!made) {
        ++s.concealed;
        if (s.opus && s.concealRun < kConcealFrames && s.decoder->Conceal(s.voice.data())) {
            ++s.concealRun;
        } else {
            s.voice.fill(0.0f);
        }
    }
    // Drift: frames left over after every round for a while are surplus.
    s.busyRounds = s.count > 0 ? s.busyRounds + 1 : 0;
    if (s.busyRounds >= kDriftRounds) {
        s.head = (s.head + 1) % kQueueLimit;
        --s.count;
        ++s.dropped;
        s.busyRounds = 0;
    }
}

bool CWidebandMixer::MixRound(std::int64_t nowUs, bool listeners) {
    if (!IsRoundDue(nowUs)) return false;
    sum_.fill(0.0f);
    for (auto& s : speakers_) {
        TakeVoice(*s);
        for (std::size_t i = 0; i < sum_.size(); ++i) sum_[i] += s->voice[i];
    }
    const int n = protocol::kWidebandFrameSamples;
    for (auto& s : speakers_) {
        if (!s->opus) continue;
        for (std::size_t i = 0; i < sum_.size(); ++i) scratch_[i] = sum_[i] - s->voice[i];
        SoftLimit(scratch_.data(), n);
        s->ownSize = s->encoder->Encode(scratch_.data(), s->ownPacket.data());
    }
    listenerSize_ = 0;
    if (listeners) {
        scratch_ = sum_;
        SoftLimit(scratch_.data(), n);
        listenerSize_ = listenerEncoder_.Encode(scratch_.data(), listenerPacket_.data());
    }
    return true;
}

std::span<const std::uint8_t> CWidebandMixer::ListenerPacket() const {
    return {listenerPacket_.data(), static_cast<std::size_t>(listenerSize_)};
}

std::span<const std::uint8_t> CWidebandMixer::OwnPacket(int id) const {
    const Speaker* s = Find(id);
    if (!s || !s->opus) return {};
    return {s->ownPacket.data(), static_cast<std::size_t>(s->ownSize)};
}

const WidebandFrame* CWidebandMixer::Voice(int id) const {
    const Speaker* s = Find(id);
    return s ? &s->voice : nullptr;
}

int CWidebandMixer::QueuedFrames(int id) const {
    const Speaker* s = Find(id);
    return s ? s->count : -1;
}

int CWidebandMixer::ConcealedFrames(int id) const {
    const Speaker* s = Find(id);
    return s ? s->concealed : 0;
}

int CWidebandMixer::DroppedFrames(int id) const {
    const Speaker* s = Find(id);
    return s ? s->dropped : 0;
}
