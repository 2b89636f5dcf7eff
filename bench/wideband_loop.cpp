#include "bench/wideband_loop.h"

#include <QAction>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "client/chat_client_dlg.h"
#include "platform/sound.h"
#include "client/strings.h"
#include "voice_frames.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr double kBytesPerMs = 2.0 * kRate / 1000;
constexpr int kFrameSamples = 480;
// What the card takes at a time (as the platform opens it at 48 kHz).
constexpr std::size_t kPeriodSamples = platform::DeviceStepFrames(kRate);
constexpr int kBurstEvery = kRate / 4;
constexpr int kBurstLength = kRate / 50;
// Burst b sounds at kBurstHz + b % kBurstIds * kBurstStepHz: a burst heard
// is told from the seven before and after it (two seconds), however late.
constexpr int kBurstIds = 8;
constexpr double kBurstHz = 500;
constexpr double kBurstStepHz = 250;
constexpr int kLead = kRate;  // before the first burst
// How the pitch is read: zero crossings over 12 ms, from 1 ms after onset.
constexpr int kPitchSkip = kRate / 1000;
constexpr int kPitchSpan = kRate * 12 / 1000;
// Longer than this between two looks of the watcher (every 0.25 ms): the
// machine stood still.
constexpr double kStoodStillMs = 4;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Run(int ms, const std::function<bool()>& done = [] { return false; }) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// When a stream position was reached, from a timeline of (time, bytes).
struct Timeline {
    std::vector<std::pair<Clock::time_point, std::uint64_t>> points;
    void Note(Clock::time_point now, std::uint64_t bytes) {
        if (points.empty() || points.back().second < bytes) points.emplace_back(now, bytes);
    }
    // The first point at or past bytes.
    const std::pair<Clock::time_point, std::uint64_t>* At(std::uint64_t bytes) const {
        auto it = std::lower_bound(points.begin(), points.end(), bytes,
                                   [](const auto& p, std::uint64_t b) { return p.second < b; });
        return it == points.end() ? nullptr : &*it;
    }
    // The last point at or before when.
    const std::pair<Clock::time_point, std::uint64_t>* Before(Clock::time_point when) const {
        auto it = std::upper_bound(points.begin(), points.end(), when,
                                   [](Clock::time_point t, const auto& p) { return t < p.first; });
        return it == points.begin() ? nullptr : &*(it - 1);
    }
};

// What the dialogs' own thread saw, every millisecond.
struct Sample {
    Clock::time_point at;
    int sent;          // the speaker's packets sent
    int received;      // the listener's packets received
    double queuedMs;   // the listener's sound not yet heard: play-out buffer and device
};

std::vector<float> Samples(const voicecheck::Bytes& bytes) {
    std::vector<float> out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<float>(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8))) / 32768.0f);
    }
    return out;
}

// Burst onsets: the first sample above a quarter of full scale after at
// least 100 ms below it.
std::vector<std::size_t> Onsets(const std::vector<float>& x) {
    std::vector<std::size_t> out;
    std::size_t quietSince = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::fabs(x[i]) < 0.25f) continue;
        if (i - quietSince >= static_cast<std::size_t>(kRate / 10)) out.push_back(i);
        quietSince = i;
    }
    return out;
}

// Which of the kBurstIds pitches the burst at onset has; -1 when none.
int BurstId(const std::vector<float>& x, std::size_t onset) {
    if (onset + kPitchSkip + kPitchSpan >= x.size()) return -1;
    int crossings = 0;
    for (std::size_t i = onset + kPitchSkip + 1; i < onset + kPitchSkip + kPitchSpan; ++i) {
        if ((x[i - 1] < 0) != (x[i] < 0)) ++crossings;
    }
    const double hz = crossings * kRate / (2.0 * kPitchSpan);
    const long id = std::lround((hz - kBurstHz) / kBurstStepHz);
    return id >= 0 && id < kBurstIds ? static_cast<int>(id) : -1;
}

bool WriteSpeakerInput(const std::string& path, int seconds) {
    std::mt19937 rng(11);
    // 40 dB below full scale: decoded, never exactly silent for a period.
    std::normal_distribution<double> noise(0, 300);
    // Logins and the press come first; a burst nobody sent is not looked for.
    const int n = kLead + (seconds + 30) * kRate;
    voicecheck::Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(2 * n));
    for (int i = 0; i < n; ++i) {
        double v = noise(rng);
        const int at = i - kLead;
        if (at >= 0 && at % kBurstEvery < kBurstLength) {
            const double hz = kBurstHz + (at / kBurstEvery) % kBurstIds * kBurstStepHz;
            v += 0.5 * 32767 * std::cos(2 * M_PI * hz * (at % kBurstEvery) / kRate);
        }
        const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(std::lrint(v), -32768L, 32767L)));
        bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(s >> 8));
    }
    return voicecheck::WriteFileBytes(path, bytes);
}

// Logs the dialog in with its own sound files and waits for the wideband
// answer (which reopens the devices, still with these files).
bool LogIn(CChatClientDlg& dialog, int port, const char* name, const std::string& in, const std::string& out) {
    qputenv("SDL_DISKAUDIOFILEIN", in.c_str());
    qputenv("SDL_DISKAUDIOFILE", out.c_str());
    dialog.SetAsksForWideband(true);
    dialog.LoginAs("127.0.0.1", port, name);
    Run(20000, [&] { return !dialog.IsConnecting(); });
    Run(20000, [&] { return !dialog.IsLoggedIn() || dialog.OwnId() != 0; });
    if (!dialog.IsLoggedIn() || dialog.OwnId() == 0) {
        std::fprintf(stderr, "voice_loop_bench: %s: no login through port %d\n", name, port);
        return false;
    }
    Run(5000, [&] { return dialog.Voice().IsWideband(); });
    if (!dialog.Voice().IsWideband()) {
        std::fprintf(stderr, "voice_loop_bench: %s: the server did not answer the request for wideband voice\n", name);
        return false;
    }
    if (!dialog.SoundDevice().IsCaptureOpen() || !dialog.SoundDevice().IsPlaybackOpen()) {
        std::fprintf(stderr, "voice_loop_bench: %s: sound devices did not open\n", name);
        return false;
    }
    return true;
}

// The quality of the sound as recorded, and a level the onsets can trust.
void TurnOffPreprocessing(CChatClientDlg& dialog) {
    for (QMenu* menu : dialog.findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            const std::string text = action->text().toStdString();
            if ((text == tessik::kNoiseSuppressionMenuText || text == tessik::kAutomaticGainMenuText) &&
                action->isChecked()) {
                action->trigger();
            }
        }
    }
}

// What the card was handed: the output less the silence it played while it
// had nothing. The card takes a period at a time and fills what it lacks
// with silence, so such a run reaches a period's end; decoded sound is
// never exactly silent for long (the input's noise floor), but a stream's
// first samples are. Counts the runs between sound.
std::vector<float> Written(const std::vector<float>& file, int* gaps, double* gapMs,
                           std::vector<std::size_t>* gapsAt = nullptr) {
    std::vector<float> written;
    written.reserve(file.size());
    bool started = false;
    for (std::size_t i = 0; i < file.size();) {
        std::size_t j = i;
        while (j < file.size() && file[j] == 0.0f) ++j;
        if (j - i >= 32 && (j / kPeriodSamples > i / kPeriodSamples || j % kPeriodSamples == 0 || j == file.size())) {
            if (started && j < file.size()) {
                ++*gaps;
                if (gapsAt) gapsAt->push_back(i);
                *gapMs += static_cast<double>(j - i) * 1000.0 / kRate;
            }
        } else {
            written.insert(written.end(), file.begin() + static_cast<std::ptrdiff_t>(i),
                           file.begin() + static_cast<std::ptrdiff_t>(j));
        }
        if (j < file.size()) {
            written.push_back(file[j]);
            started = true;
        }
        i = j + 1;
    }
    return written;
}

// The phase of the cards at when: how long after a capture period of the
// speaker's began the listener's playback period begins, in [0, period).
struct Phase {
    const Timeline& capture;
    const std::vector<Clock::time_point>& playback;  // period starts seen
    double periodMs;
    double At(Clock::time_point when) const {
        auto it = std::lower_bound(playback.begin(), playback.end(), when);
        if (it == playback.end()) {
            if (playback.empty()) return -1;
            --it;
        }
        const auto* c = capture.Before(*it);
        if (!c) return -1;
        return std::fmod(Ms(*it - c->first), periodMs);
    }
};

// The circular mean of phases in [0, period).
double MeanPhase(const std::vector<double>& phases, double periodMs) {
    double s = 0, c = 0;
    for (double p : phases) {
        s += std::sin(2 * M_PI * p / periodMs);
        c += std::cos(2 * M_PI * p / periodMs);
    }
    if (phases.empty()) return -1;
    double mean = std::atan2(s, c) / (2 * M_PI) * periodMs;
    return mean < 0 ? mean + periodMs : mean;
}

}  // namespace

int RunWidebandLoop(const WidebandLoopOptions& o) {
    const std::string speakerIn = o.dir + "/speaker-in.raw", speakerOut = o.dir + "/speaker-out.raw";
    const std::string listenerIn = o.dir + "/listener-in.raw", listenerOut = o.dir + "/listener-out.raw";
    if (!WriteSpeakerInput(speakerIn, o.seconds) ||
        !voicecheck::WriteFileBytes(listenerIn, voicecheck::Bytes(2 * kRate, 0))) {
        std::fprintf(stderr, "voice_loop_bench: cannot write into %s\n", o.dir.c_str());
        return 1;
    }
    std::vector<std::string> messages;
    auto hook = [&](const std::string& text) { messages.push_back(text); };
    CChatClientDlg speaker;
    CChatClientDlg listener;
    speaker.SetMessageHook(hook);
    listener.SetMessageHook(hook);
    if (!LogIn(speaker, o.speakerPort, "Speaker", speakerIn, speakerOut)) return 1;
    const Clock::time_point connected = Clock::now();  // the relay's first connection, near enough
    if (!LogIn(listener, o.listenerPort, "Listener", listenerIn, listenerOut)) return 1;
    TurnOffPreprocessing(speaker);

    const CWaveDevice& capture = speaker.SoundDevice();
    const CWaveDevice& playback = listener.SoundDevice();
    // The watcher: the speaker's capture and the listener's playback
    // positions, and when the listener's output file grew (SDL writes it
    // right after each period's callback, so each growth starts a period).
    Timeline recorded, played;
    std::vector<Clock::time_point> periods;
    Timeline grown;  // the listener's output file
    // The watcher wakes every quarter of a millisecond: a longer time
    // between two of its looks is a time the machine (or this process)
    // stood still, for every thread alike. Noted with when it ended, so a
    // talk disturbed that way is told from one that was not.
    std::vector<std::pair<Clock::time_point, double>> stoodStill;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        std::uintmax_t size = 0;
        Clock::time_point lastLook{};
        while (watching.load()) {
            const Clock::time_point now = Clock::now();
            if (lastLook != Clock::time_point{} && Ms(now - lastLook) > kStoodStillMs) {
                stoodStill.emplace_back(now, Ms(now - lastLook));
            }
            lastLook = now;
            recorded.Note(now, capture.GetRecordedBytes());
            played.Note(now, playback.GetPlayedBytes());
            std::error_code error;
            const std::uintmax_t s = std::filesystem::file_size(listenerOut, error);
            if (!error && s > size) {
                if (size > 0) periods.push_back(now);
                grown.Note(now, s);
                size = s;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
    });
    std::vector<Sample> samples;
    samples.reserve(static_cast<std::size_t>(o.seconds + 10) * 1000);
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(1);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const auto& out = listener.Voice().Wideband().Playout();
        samples.push_back({Clock::now(), speaker.SentVoiceFrames(), listener.ReceivedVoiceFrames(),
                           static_cast<double>(playback.GetUnplayedBytes()) / kBytesPerMs +
                               out.WaitingSamples() * 1000.0 / kRate});
    });
    sampler.start();

    Run(1000);
    speaker.OnSpeakButton();
    const Clock::time_point pressed = Clock::now();
    Run(o.seconds * 1000);
    speaker.OnSpeakButton();
    const Clock::time_point released = Clock::now();
    const auto& playout = listener.Voice().Wideband().Playout();
    Run(5000, [&] { return playback.CountQueuedPlaybackBlocks() == 0 && playout.Waiting() == 0; });
    Run(200);
    sampler.stop();
    watching.store(false);
    watcher.join();
    const CWidebandPlayout::Stats stats = playout.GetStats();
    const int sent = speaker.SentVoiceFrames();
    const int received = listener.ReceivedVoiceFrames();
    const int ownReceived = speaker.ReceivedVoiceFrames();
    const int startWait = playout.StartDelayMs();
    const int target = playout.TargetLeadMs();
    const double senderSlow = playout.SenderSlowMsPerFrame();
    speaker.RequestLogout();
    listener.RequestLogout();
    Run(10000, [&] { return !speaker.IsLoggedIn() && !listener.IsLoggedIn(); });

    int gaps = 0;
    double gapMs = 0;
    std::vector<std::size_t> gapsAt;
    const std::vector<float> written =
        Written(Samples(voicecheck::ReadFileBytes(listenerOut)), &gaps, &gapMs, &gapsAt);
    // Where the gaps were, in seconds from the press (at most eight).
    std::string gapTimes;
    for (std::size_t k = 0; k < gapsAt.size() && k < 8; ++k) {
        const auto* p = grown.At(2 * gapsAt[k] + 1);
        char at[32];
        std::snprintf(at, sizeof at, "%s%.2f", gapTimes.empty() ? "" : ",", p ? Ms(p->first - pressed) / 1000 : -1.0);
        gapTimes += at;
    }
    int ownGaps = 0;
    double ownGapMs = 0;
    const std::size_t ownHeard = Onsets(Written(Samples(voicecheck::ReadFileBytes(speakerOut)), &ownGaps, &ownGapMs)).size();

    // When a sample of the recording reached the microphone: the period that
    // held it ended when the watcher saw the position pass it, and it was
    // as far from that end as the samples after it in the period.
    auto capturedAt = [&](std::uint64_t sample, Clock::time_point* when) {
        const auto* p = recorded.At(2 * sample + 1);
        if (!p) return false;
        *when = p->first - std::chrono::microseconds(
                               static_cast<long long>(static_cast<double>(p->second - 2 * sample) / kBytesPerMs * 1000));
        return true;
    };
    auto burstSample = [](int b) { return static_cast<std::uint64_t>(kLead) + static_cast<std::uint64_t>(b) * kBurstEvery; };
    // The bursts sent: recorded whole after the press, before the release.
    int burstsSent = 0;
    for (int b = 0;; ++b) {
        Clock::time_point t, end;
        if (!capturedAt(burstSample(b), &t) || !capturedAt(burstSample(b) + kBurstLength, &end) || t > released) break;
        if (t > pressed + std::chrono::milliseconds(10) && end < released) ++burstsSent;
    }

    auto sampleAt = [&](Clock::time_point t) {
        auto it = std::lower_bound(samples.begin(), samples.end(), t,
                                   [](const Sample& s, Clock::time_point w) { return s.at < w; });
        return it == samples.end() ? samples.size() : static_cast<std::size_t>(it - samples.begin());
    };
    const std::size_t atPress = sampleAt(pressed);
    const int sentBefore = atPress < samples.size() ? samples[atPress].sent : 0;
    const int receivedBefore = atPress < samples.size() ? samples[atPress].received : 0;
    // When the listener had received packet n of the talk.
    std::vector<Clock::time_point> arrivals;
    std::vector<double> leads;  // of each arrival: the sound queued ahead of it
    std::vector<Clock::time_point> sends;  // when the speaker had sent packet n
    for (std::size_t k = atPress; k < samples.size(); ++k) {
        while (static_cast<int>(sends.size()) < samples[k].sent - sentBefore) sends.push_back(samples[k].at);
    }
    // Where the speaker's frames lie in what it recorded: capture fills them
    // from wherever it was when the press handed its buffers back. Packet n
    // went once the period holding the end of its frame had come, so that
    // end lies at or before the position then, by less than a period; the
    // ends are a frame apart. frameEnd0: the end of packet 0's frame, in
    // bytes (the listener's packets follow the speaker's one for one).
    long long frameEnd0 = -1;
    {
        std::vector<double> bound;
        for (std::size_t n = 0; n < sends.size(); ++n) {
            // Half a millisecond on: the watcher looks every quarter.
            const auto* p = recorded.Before(sends[n] + std::chrono::microseconds(500));
            if (p) bound.push_back(static_cast<double>(p->second) - 2.0 * kFrameSamples * static_cast<double>(n));
        }
        if (!bound.empty()) frameEnd0 = static_cast<long long>(Percentile(bound, 0.05));
    }
    for (std::size_t k = atPress; k < samples.size(); ++k) {
        while (static_cast<int>(arrivals.size()) < samples[k].received - receivedBefore) {
            arrivals.push_back(samples[k].at);
            if (samples[k].at < released) leads.push_back(samples[k].queuedMs - 10.0);
        }
    }

    if (const char* dump = std::getenv("BENCH_VOICE_DUMP_ARRIVALS")) {
        if (std::FILE* f = std::fopen(dump, "w")) {
            for (const Clock::time_point& a : arrivals) std::fprintf(f, "%.3f\n", Ms(a - pressed));
            std::fclose(f);
        }
    }
    // The card's step as it ran: nominal, stretched by how slow its clock was.
    const double nominalPeriodMs = 1000.0 * static_cast<double>(kPeriodSamples) / kRate;
    double periodMs = nominalPeriodMs;
    if (recorded.points.size() > 100) {
        const auto& a = recorded.points[recorded.points.size() / 4];
        const auto& z = recorded.points.back();
        periodMs = Ms(z.first - a.first) / (static_cast<double>(z.second - a.second) / (kBytesPerMs * nominalPeriodMs));
    }
    const Phase phase{recorded, periods, periodMs};

    struct Heard {
        double atMs;  // from the press
        double latencyMs;
        double phaseMs;
    };
    std::vector<Heard> heard;
    std::vector<double> captureMs, transitMs, playMs;
    int unknown = 0;
    int nextBurst = 0;
    for (std::size_t onset : Onsets(written)) {
        const auto* p = played.At(2 * static_cast<std::uint64_t>(onset) + 1);
        if (!p) continue;
        const Clock::time_point when = p->first;
        const int id = BurstId(written, onset);
        if (id < 0) {
            ++unknown;
            continue;
        }
        // The latest burst of that pitch whose recording began before it
        // was heard.
        int match = -1;
        Clock::time_point rec{};
        for (int b = nextBurst;; ++b) {
            Clock::time_point t;
            if (!capturedAt(burstSample(b), &t) || t > when) break;
            if (b % kBurstIds == id) {
                match = b;
                rec = t;
            }
        }
        if (match < 0 || rec < pressed) {
            ++unknown;
            continue;
        }
        nextBurst = match + 1;
        heard.push_back({Ms(when - pressed), Ms(when - rec), phase.At(rec)});
        // The parts, for the frame holding the onset: from its first sample's
        // capture until it was complete, until the listener had its packet,
        // until its first sample was heard.
        if (frameEnd0 < 0) continue;
        const long long onsetByte = 2 * static_cast<long long>(burstSample(match));
        const long long n = (onsetByte - frameEnd0) / (2 * kFrameSamples) + 1;
        const long long frameStart = frameEnd0 + 2LL * kFrameSamples * (n - 1);
        if (onsetByte < frameEnd0 || n >= static_cast<long long>(arrivals.size())) continue;
        const auto* done = recorded.At(static_cast<std::uint64_t>(frameStart + 2 * kFrameSamples));
        Clock::time_point begun;
        if (!done || !capturedAt(static_cast<std::uint64_t>(frameStart / 2), &begun)) continue;
        const Clock::time_point arrived = arrivals[static_cast<std::size_t>(n)];
        const auto ahead = std::chrono::microseconds(static_cast<long long>(static_cast<double>(onsetByte - frameStart) / kBytesPerMs * 1000));
        captureMs.push_back(Ms(done->first - begun));
        transitMs.push_back(Ms(arrived - done->first));
        playMs.push_back(Ms(when - ahead - arrived));
        if (std::getenv("BENCH_VOICE_DUMP_ARRIVALS")) {
            std::fprintf(stderr, "burst %d n=%lld at=%.1f lat=%.1f capture=%.1f send=%.1f transit=%.1f play=%.1f\n", match,
                         n, Ms(when - pressed), Ms(when - rec), captureMs.back(),
                         n < static_cast<long long>(sends.size()) ? Ms(sends[static_cast<std::size_t>(n)] - done->first) : -1.0,
                         transitMs.back(), playMs.back());
        }
    }
    // Settled: from kSettledMs into the talk on, once the start wait of a
    // talk and the trimming after it are over.
    constexpr double kSettledMs = 5000;
    std::vector<double> latency, settled, phases;
    for (const Heard& h : heard) {
        latency.push_back(h.latencyMs);
        if (h.atMs >= kSettledMs) settled.push_back(h.latencyMs);
        if (h.phaseMs >= 0) phases.push_back(h.phaseMs);
    }
    // How far the phase moved over the talk: its first third against its last.
    const std::size_t third = phases.size() / 3;
    const double early = MeanPhase(std::vector<double>(phases.begin(), phases.begin() + static_cast<std::ptrdiff_t>(third)), periodMs);
    const double late = MeanPhase(std::vector<double>(phases.end() - static_cast<std::ptrdiff_t>(third), phases.end()), periodMs);
    double drift = late - early;
    if (drift > periodMs / 2) drift -= periodMs;
    if (drift < -periodMs / 2) drift += periodMs;

    // After a stall: from its end until every burst heard stayed under
    // 100 ms; -1 when it never did before the talk ended.
    double recoverMs = 0;
    double stallEnd = 0;
    if (o.stallAtMs >= 0) {
        stallEnd = Ms(connected - pressed) + o.stallAtMs + o.stallMs;
        double lastHigh = -1e9;
        for (const Heard& h : heard) {
            if (h.atMs >= stallEnd - o.stallMs && h.latencyMs >= 100.0) lastHigh = std::max(lastHigh, h.atMs);
        }
        recoverMs = lastHigh >= Ms(released - pressed) - 100 ? -1 : std::max(0.0, lastHigh - stallEnd);
    }
    // How often, and how long at most, the machine stood still during the talk.
    int stalls = 0;
    double longestStall = 0;
    for (const auto& [end, ms] : stoodStill) {
        if (end < pressed || end > released) continue;
        ++stalls;
        longestStall = std::max(longestStall, ms);
    }
    std::printf("result sent=%d received=%d bursts=%d played_blocks=%zu unknown=%d gaps=%d gap_ms=%.0f p50_ms=%.1f "
                "p95_ms=%.1f max_ms=%.1f settled_p50_ms=%.1f trimmed=%lld stretched=%lld concealed=%lld overflowed=%lld start_wait_ms=%d "
                "target_lead_ms=%d sender_slow_ms=%.3f recover_ms=%.0f phase_ms=%.2f drift_ms=%.2f period_ms=%.3f own_received=%d "
                "own_heard=%zu messages=%zu gaps_at_s=%s machine_stalls=%d machine_longest_ms=%.1f\n",
                sent, received, burstsSent, heard.size(), unknown, gaps, gapMs, Percentile(latency, 0.5),
                Percentile(latency, 0.95), latency.empty() ? 0.0 : *std::max_element(latency.begin(), latency.end()),
                Percentile(settled, 0.5), stats.trimmedMs, stats.stretched, stats.concealed, stats.overflowed, startWait, target, senderSlow, recoverMs,
                MeanPhase(phases, periodMs), drift, periodMs, ownReceived, ownHeard, messages.size(),
                gapTimes.empty() ? "-" : gapTimes.c_str(), stalls, longestStall);
    std::printf("parts capture_ms=%.1f transit_ms=%.1f playout_ms=%.1f lead_ms=%.1f lead_p5_ms=%.1f\n",
                Percentile(captureMs, 0.5), Percentile(transitMs, 0.5), Percentile(playMs, 0.5),
                Percentile(leads, 0.5), Percentile(leads, 0.05));
    // p50 of the loop latency by the phase of the cards, a millisecond wide.
    std::printf("by_phase");
    for (int from = 0; from < static_cast<int>(std::ceil(periodMs)); ++from) {
        std::vector<double> bucket;
        for (const Heard& h : heard) {
            if (h.phaseMs >= from && h.phaseMs < from + 1) bucket.push_back(h.latencyMs);
        }
        char p50[16] = "-";
        if (!bucket.empty()) std::snprintf(p50, sizeof p50, "%.1f", Percentile(bucket, 0.5));
        std::printf(" %d-%d:%s/%zu", from, from + 1, p50, bucket.size());
    }
    std::printf("\n");
    // p50 of the loop latency over the talk, a second at a time.
    std::printf("talk");
    for (int from = 0; from < o.seconds; ++from) {
        std::vector<double> bucket;
        for (const Heard& h : heard) {
            if (h.atMs >= from * 1000.0 && h.atMs < (from + 1) * 1000.0) bucket.push_back(h.latencyMs);
        }
        std::printf(" %s", bucket.empty() ? "-" : std::to_string(static_cast<int>(Percentile(bucket, 0.5))).c_str());
    }
    std::printf("\n");
    for (const std::string& m : messages) std::printf("message %s\n", m.c_str());
    if (o.stallAtMs >= 0) {
        // p50 of the loop latency in 250 ms steps from a second before the
        // stall's end to four seconds after it.
        std::printf("timeline");
        for (double from = -1000; from < 4000; from += 250) {
            std::vector<double> bucket;
            for (const Heard& h : heard) {
                const double t = h.atMs - stallEnd;
                if (t >= from && t < from + 250) bucket.push_back(h.latencyMs);
            }
            std::printf(" %+.0f:%s", from, bucket.empty() ? "-" : std::to_string(static_cast<int>(Percentile(bucket, 0.5))).c_str());
        }
        std::printf("\n");
    }
    return 0;
}
