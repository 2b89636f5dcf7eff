// The quality of voice through the whole path: real Tessik dialogs
// (offscreen, SDL's disk driver) in one process, logged in to a real server
// on the port given. Speakers record from files of synthetic sound, and
// every dialog plays into a file of its own; the figures come from comparing
// what was played with what was recorded.
//
// The members: a wideband listener and a listener on today's voice, who
// never speak; four wideband speakers holding steady voices of their own
// pitch; a speaker of synthetic speech on each kind of voice; and a partner
// who takes the floor without a word. The talks, one after the other: the
// wideband speech, today's speech, each steady voice alone, the four
// together, each with the silent partner, and each one's three others
// without it. Noise suppression and gain control are off on every wideband
// dialog, so that what is measured is the path.
//
// Prints "table" lines (the figures of each path and voice) and "figure"
// lines (each figure against its target).
//
//   voice_quality_bench --port P --dir FOLDER [--seconds 20] [--voice-seconds 6]
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/steady_cards.h"
#include "bench/voice_quality_analysis.h"
#include "bench/voice_quality_signals.h"
#include "client/chat_client_dlg.h"
#include "client/icons.h"
#include "client/strings.h"
#include "platform/message_box.h"

namespace vq = voicequality;

namespace {

constexpr int kWideRate = 48000;
constexpr int kNarrowRate = 8000;
// Pitches whose harmonics keep apart in bins of 1 Hz.
const std::vector<int> kPitches = {107, 131, 163, 197};
constexpr double kVoiceDb = -20;
// The silent partner's room.
constexpr double kRoomDb = -66;
// What a recording holds of a talk leaves out its first moments (the
// play-out starting, and the file's size running behind what SDL has
// written by up to a buffer of stdio, a second of today's voice).
constexpr double kSettleSeconds = 1.5;
// Between talks: what was said plays out.
constexpr int kQuietMs = 1500;

bool RunUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs) return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void RunFor(int ms) { RunUntil([] { return false; }, ms); }

struct Member {
    std::string name;
    bool wide = true;
    std::string in, out;
    std::unique_ptr<CChatClientDlg> dialog;

    int Rate() const { return wide ? kWideRate : kNarrowRate; }
    int BytesPerSample() const { return wide ? 2 : 1; }
};

// A talk: where each member's playback file stood when it began and ended.
struct Talk {
    std::map<const Member*, std::pair<std::int64_t, std::int64_t>> span;
};

std::int64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

// What the member played during the talk, at 48 kHz, less its first moments.
vq::Signal Heard(const Member& m, const Talk& talk) {
    const auto [begin, end] = talk.span.at(&m);
    const auto settle = static_cast<std::int64_t>(kSettleSeconds * m.Rate()) * m.BytesPerSample();
    if (m.wide) return vq::ReadS16(m.out, begin + settle, end);
    return vq::Resample(vq::ReadU8(m.out, begin + settle, end), kNarrowRate, kWideRate);
}

// Logs the member in with its own sound files: SDL's disk driver reads the
// names when a device opens, at login and again when the server's answer
// switches the dialog to wideband, so the next member waits for both.
bool Join(Member& m, int port, std::vector<std::string>& messages) {
    qputenv("SDL_DISKAUDIOFILEIN", m.in.c_str());
    qputenv("SDL_DISKAUDIOFILE", m.out.c_str());
    m.dialog = std::make_unique<CChatClientDlg>();
    m.dialog->SetMessageHook([&messages, name = m.name](const std::string& text) { messages.push_back(name + ": " + text); });
    m.dialog->SetAsksForWideband(m.wide);
    m.dialog->LoginAs("127.0.0.1", port, m.name);
    CChatClientDlg& d = *m.dialog;
    if (!RunUntil([&] { return !d.IsConnecting(); }, 20000) || !d.IsLoggedIn() ||
        !RunUntil([&] { return d.OwnId() != 0; }, 20000)) {
        std::fprintf(stderr, "voice_quality_bench: %s did not log in through port %d\n", m.name.c_str(), port);
        return false;
    }
    if (m.wide) {
        if (!RunUntil([&] { return d.Voice().IsWideband(); }, 5000)) {
            std::fprintf(stderr, "voice_quality_bench: the server did not answer %s's request for wideband voice\n",
                         m.name.c_str());
            return false;
        }
        // The right-click menu's items, as a user would turn them off.
        for (QMenu* menu : d.findChildren<QMenu*>()) {
            for (QAction* action : menu->actions()) {
                const std::string text = action->text().toStdString();
                if ((text == tessik::kNoiseSuppressionMenuText || text == tessik::kAutomaticGainMenuText) &&
                    action->isChecked()) {
                    action->trigger();
                }
            }
        }
        if (d.Voice().NoiseSuppression() || d.Voice().AutomaticGain()) {
            std::fprintf(stderr, "voice_quality_bench: %s's noise suppression or gain control stayed on\n", m.name.c_str());
            return false;
        }
    }
    if (!d.SoundDevice().IsCaptureOpen() || !d.SoundDevice().IsPlaybackOpen()) {
        std::fprintf(stderr, "voice_quality_bench: %s's sound devices did not open\n", m.name.c_str());
        return false;
    }
    return true;
}

// Logs the member out; its sound devices close with the session.
bool Leave(Member& m) {
    m.dialog->RequestLogout();
    CChatClientDlg& d = *m.dialog;
    return RunUntil([&] { return !d.IsLoggedIn() && !d.SoundDevice().IsCaptureOpen() && !d.SoundDevice().IsPlaybackOpen(); },
                    10000);
}

Talk Speak(const std::vector<Member*>& speakers, const std::vector<Member*>& present, int seconds) {
    Talk talk;
    for (const Member* m : present) talk.span[m].first = FileSize(m->out);
    for (Member* s : speakers) s->dialog->OnSpeakButton();
    RunFor(seconds * 1000);
    for (const Member* m : present) talk.span[m].second = FileSize(m->out);
    for (Member* s : speakers) s->dialog->OnSpeakButton();
    RunFor(kQuietMs);
    return talk;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    int seconds = 20;
    int voiceSeconds = 6;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--port") {
            port = std::atoi(value().c_str());
        } else if (a == "--seconds") {
            seconds = std::atoi(value().c_str());
        } else if (a == "--voice-seconds") {
            voiceSeconds = std::atoi(value().c_str());
        } else if (a == "--dir") {
            dir = value();
        } else {
            std::fprintf(stderr, "voice_quality_bench: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (port <= 0 || dir.empty() || seconds < 5 || seconds > 600 || voiceSeconds < 4 || voiceSeconds > 60) {
        std::fputs("usage: voice_quality_bench --port P --dir FOLDER [--seconds 5..600] [--voice-seconds 4..60]\n", stderr);
        return 2;
    }

    // Every recording runs from its device's opening to the end of the run.
    const double runSeconds = 30 + 2.0 * (seconds + kQuietMs / 1000.0) + 13.0 * (voiceSeconds + kQuietMs / 1000.0);
    // The speakers of speech open their devices just before their talks.
    const vq::Signal speech = vq::SyntheticSpeech(kWideRate, 15.0 + seconds, 7);
    std::vector<Member> members;
    members.push_back({"Listener", true, dir + "/silence.raw", dir + "/listener.out", nullptr});
    members.push_back({"Listener8k", false, dir + "/silence.raw", dir + "/listener8k.out", nullptr});
    std::vector<vq::Signal> voices;
    for (std::size_t i = 0; i < kPitches.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        members.push_back({"Voice" + n, true, dir + "/voice" + n + ".raw", dir + "/voice" + n + ".out", nullptr});
        voices.push_back(vq::SteadyVoice(kWideRate, runSeconds, kPitches[i], kVoiceDb, static_cast<std::uint32_t>(i + 1)));
        if (!vq::WriteS16(members.back().in, voices.back())) return 1;
    }
    members.push_back({"Speech", true, dir + "/speech.raw", dir + "/speech.out", nullptr});
    members.push_back({"Speech8k", false, dir + "/speech8k.raw", dir + "/speech8k.out", nullptr});
    members.push_back({"Silent", true, dir + "/room.raw", dir + "/silent.out", nullptr});
    if (!vq::WriteS16(dir + "/silence.raw", {}) ||
        !vq::WriteS16(dir + "/room.raw", vq::RoomNoise(kWideRate, runSeconds, kRoomDb, 3)) || !vq::WriteS16(dir + "/speech.raw", speech) ||
        !vq::WriteU8(dir + "/speech8k.raw", vq::Resample(speech, kWideRate, kNarrowRate))) {
        std::fprintf(stderr, "voice_quality_bench: cannot write the sound files in %s\n", dir.c_str());
        return 1;
    }

    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Cards on a steady clock, as the voice loop bench's: the driver's own
    // pacing wanders with the machine's sleeps, and the gaps that leaves in
    // the play-out would count against the sound.
    UseDiskCards();
    // The dialogs remember their fields: here, not in the user's settings.
    qputenv("XDG_CONFIG_HOME", (dir + "/config").c_str());
    std::filesystem::create_directories(dir + "/runtime");
    std::filesystem::permissions(dir + "/runtime", std::filesystem::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", (dir + "/runtime").c_str());
    QApplication app(argc, argv);
    tessik::InitResources();
    platform::SetProgramName("Tessik");

    // SDL keeps at most 15 devices open at once: the two speakers of speech
    // take turns, each in the conference for its own talk only.
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < 6; ++i) {
        if (!Join(members[i], port, messages)) return 1;
    }
    Member& listener = members[0];
    Member& listener8k = members[1];
    Member& speaker = members[6];
    Member& speaker8k = members[7];
    std::vector<Member*> voiced;
    for (std::size_t i = 0; i < kPitches.size(); ++i) voiced.push_back(&members[2 + i]);
    const std::vector<Member*> present = {&listener, &listener8k, voiced[0], voiced[1], voiced[2], voiced[3]};

    if (!Join(speaker, port, messages)) return 1;
    RunFor(500);
    const Talk wideTalk = Speak({&speaker}, present, seconds);
    if (!Leave(speaker) || !Join(speaker8k, port, messages)) return 1;
    RunFor(500);
    const Talk narrowTalk = Speak({&speaker8k}, present, seconds);
    Member& silent = members[8];
    if (!Leave(speaker8k) || !Join(silent, port, messages)) return 1;
    std::vector<Member*> all = present;
    all.push_back(&silent);
    std::vector<Talk> alone, paired;
    for (Member* v : voiced) alone.push_back(Speak({v}, all, voiceSeconds));
    const Talk together = Speak(voiced, all, voiceSeconds);
    // Each voice with a partner who holds the floor without a word: its own
    // stream then carries the partner's quiet room and whatever is left of
    // its own voice.
    for (Member* v : voiced) paired.push_back(Speak({v, &silent}, all, voiceSeconds));
    // The three others without it: what its own stream should hold.
    std::vector<Talk> others;
    for (Member* v : voiced) {
        std::vector<Member*> rest;
        for (Member* w : voiced) {
            if (w != v) rest.push_back(w);
        }
        others.push_back(Speak(rest, all, voiceSeconds));
    }
    const CWidebandPlayout::Stats stats = listener.dialog->Voice().Wideband().Playout().GetStats();
    for (Member* m : all) Leave(*m);

    std::printf("playout speech_s=%d voice_s=%d; the wideband listener's play-out over the run: trimmed_ms=%lld "
                "stretched=%lld concealed=%lld gaps=%lld underruns=%lld\n",
                seconds, voiceSeconds, stats.trimmedMs, stats.stretched, stats.concealed, stats.gaps, stats.underruns);
    for (const std::string& m : messages) std::printf("message %s\n", m.c_str());

    // 1. Speech, each kind of speaker to each kind of listener.
    struct Path {
        const char* label;
        const Talk* talk;
        const Member* hearer;
    };
    const Path paths[] = {{"wideband -> wideband", &wideTalk, &listener},
                          {"today's -> today's", &narrowTalk, &listener8k},
                          {"wideband -> today's", &wideTalk, &listener8k},
                          {"today's -> wideband", &narrowTalk, &listener}};
    std::printf("table speech %-22s %9s %9s %10s %10s %7s %6s\n", "speaker -> listener", "4-8kHz", "0.1-4kHz", "LSD0.1-4",
                "LSD0.1-8", "frames", "match");
    vq::SpeechFigures wide;
    for (const Path& p : paths) {
        const vq::SpeechFigures f = vq::CompareSpeech(speech, Heard(*p.hearer, *p.talk), kWideRate);
        if (p.hearer == &listener && p.talk == &wideTalk) wide = f;
        std::printf("table speech %-22s %6.1f dB %6.1f dB %7.1f dB %7.1f dB %7d %6.2f\n", p.label, f.highBandDb, f.lowBandDb,
                    f.lsdLowDb, f.lsdWideDb, f.frames, f.correlation);
    }

    // 2 and 3. The steady voices, each at its own harmonics: alone and
    // together in the listener's stream; in its own stream with the three
    // others (where the codec's products of their voices fill its bins: the
    // floor is what a listener hears there from the three without it), and
    // with a silent partner.
    std::printf("table voices %-6s %6s %9s %9s %9s %8s %12s %9s %12s %9s\n", "voice", "pitch", "sent", "alone", "together",
                "change", "own with 3", "3 alone", "own, silent", "stream");
    double worstChange = 0, worstOwn = -300;
    for (std::size_t i = 0; i < voiced.size(); ++i) {
        const std::vector<int> clean = vq::CleanHarmonics(kPitches[i], kPitches, 4);
        const double sent = vq::HarmonicLevelDb(voices[i], kWideRate, clean);
        const double solo = vq::HarmonicLevelDb(Heard(listener, alone[i]), kWideRate, clean);
        const double four = vq::HarmonicLevelDb(Heard(listener, together), kWideRate, clean);
        const double ownWithThree = vq::HarmonicLevelDb(Heard(*voiced[i], together), kWideRate, clean) - four;
        const double floor = vq::HarmonicLevelDb(Heard(listener, others[i]), kWideRate, clean) - four;
        const vq::Signal ownStream = Heard(*voiced[i], paired[i]);
        const double own = vq::HarmonicLevelDb(ownStream, kWideRate, clean) -
                           vq::HarmonicLevelDb(Heard(listener, paired[i]), kWideRate, clean);
        if (std::fabs(four - solo) > std::fabs(worstChange)) worstChange = four - solo;
        worstOwn = std::max(worstOwn, own);
        std::printf("table voices %-6zu %3d Hz %6.1f dB %6.1f dB %6.1f dB %+5.2f dB %9.1f dB %6.1f dB %9.1f dB %6.1f dB\n", i + 1,
                    kPitches[i], sent, solo, four, four - solo, ownWithThree, floor, own, vq::RmsDb(ownStream));
    }
    std::printf("figure band 4-8 kHz: %+.1f dB (target within 3 dB of the original) %s\n", wide.highBandDb,
                Verdict(std::fabs(wide.highBandDb) <= 3));
    std::printf("figure log-spectral distance 0.1-8 kHz: %.1f dB (target at most 8 dB) %s\n", wide.lsdWideDb,
                Verdict(wide.lsdWideDb <= 8));
    std::printf("figure four voices at once: each within %.2f dB of its level alone (target within 1 dB) %s\n",
                std::fabs(worstChange), Verdict(std::fabs(worstChange) <= 1));
    std::printf("figure own voice in own stream: %.1f dB against a listener's, partner silent (target at least 40 dB down) %s\n", worstOwn,
                Verdict(worstOwn <= -40));
    return 0;
}
