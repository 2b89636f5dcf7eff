// One run of the voice loop: a real Tessik dialog (offscreen) logs in
// through whatever address it is given (the jitter relay in front of a
// server), takes the floor and speaks for a while, hearing itself through
// the server's mix. SDL's disk driver records from a file of tagged frames
// and plays into a file, at real-time pace: its steps held to a steady
// clock, as a sound card's are (ORVANE_STEADY_DISK_SOUND), or with
// --sdl-clock as the driver keeps time itself, a sleep after each step,
// which runs slow and wanders with how late this machine's sleeps wake. A
// watcher thread notes when
// each frame's capture completed and when each played block began, on the
// steady clock, so the loop latency of every frame (start of its capture
// to start of its playback) comes out without relying on the two devices'
// clocks agreeing. Prints one "result" line and, for a stall, the latency
// over time around it.
//
// The wideband run (--wideband) is two dialogs instead, a speaker straight
// at the server and a listener through the relay, for the server sends no
// wideband speaker its own voice (see bench/wideband_loop.h).
//
//   voice_loop_bench --port P --dir FOLDER [--seconds 60]
//                    [--stall-at MS --stall MS]   (as given to the relay)
//                    [--wideband --listener-port L]   (P: the server's
//                                    port, L: the relay's)
//                    [--sdl-clock]
// BENCH_VOICE_DUMP_ARRIVALS=FILE (wideband): when the listener had each
// packet into FILE, and each burst's parts on standard error.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/chat_client_dlg.h"
#include "bench/steady_cards.h"
#include "bench/wideband_loop.h"
#include "client/icons.h"
#include "platform/message_box.h"
#include "voice_frames.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFrameMs = 16.0;
constexpr int kFrame = voicecheck::kFrameBytes;

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

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    int seconds = 60;
    int stallAt = -1;
    int stall = 0;
    std::string dir;
    bool wideband = false;
    int listenerPort = 0;
    bool sdlClock = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--port") {
            port = std::atoi(value().c_str());
        } else if (a == "--seconds") {
            seconds = std::atoi(value().c_str());
        } else if (a == "--stall-at") {
            stallAt = std::atoi(value().c_str());
        } else if (a == "--stall") {
            stall = std::atoi(value().c_str());
        } else if (a == "--sdl-clock") {
            sdlClock = true;
        } else if (a == "--wideband") {
            wideband = true;
        } else if (a == "--listener-port") {
            listenerPort = std::atoi(value().c_str());
        } else if (a == "--dir") {
            dir = value();
        } else {
            std::fprintf(stderr, "voice_loop_bench: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (port <= 0 || dir.empty() || seconds < 1 || seconds > 600 || (wideband && listenerPort <= 0)) {
        std::fputs("usage: voice_loop_bench --port P --dir FOLDER [--seconds S] [--stall-at MS --stall MS]\n"
                   "                        [--wideband --listener-port L] [--sdl-clock]\n",
                   stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    UseDiskCards(!sdlClock);
    if (wideband) {
        QApplication app(argc, argv);
        tessik::InitResources();
        platform::SetProgramName("Tessik");
        return RunWidebandLoop({port, listenerPort, seconds, stallAt, stall, dir});
    }

    // Continuous speech from the first moment capture records: every frame
    // tagged, so that each played block tells which frame it is.
    const int leadFrames = 63;  // the second between login and the press
    const int totalFrames = leadFrames + static_cast<int>(seconds * 62.5) + 200;
    const std::string in = dir + "/in.raw";
    const std::string out = dir + "/out.raw";
    if (!voicecheck::WriteFileBytes(in, voicecheck::TaggedFrames(0, totalFrames))) {
        std::fprintf(stderr, "voice_loop_bench: cannot write %s\n", in.c_str());
        return 1;
    }
    qputenv("SDL_DISKAUDIOFILEIN", in.c_str());
    qputenv("SDL_DISKAUDIOFILE", out.c_str());
    QApplication app(argc, argv);
    tessik::InitResources();
    platform::SetProgramName("Tessik");

    CChatClientDlg dialog;
    std::vector<std::string> messages;
    dialog.SetMessageHook([&](const std::string& text) { messages.push_back(text); });
    // Today's shapes keep today's voice against a server that offers wideband.
    dialog.SetAsksForWideband(false);
    dialog.LoginAs("127.0.0.1", port, "Listener");
    // Connecting goes on while the dialog runs: the session begins once it
    // has ended, and the ID follows with the server's reply.
    if (!RunUntil([&] { return !dialog.IsConnecting(); }, 20000) || !dialog.IsLoggedIn() ||
        !RunUntil([&] { return dialog.OwnId() != 0; }, 20000)) {
        std::fprintf(stderr, "voice_loop_bench: no login through port %d\n", port);
        return 1;
    }
    const CWaveDevice& sound = dialog.SoundDevice();
    if (!sound.IsCaptureOpen() || !sound.IsPlaybackOpen()) {
        std::fprintf(stderr, "voice_loop_bench: sound devices did not open\n");
        return 1;
    }
    const Clock::time_point connected = Clock::now();

    // The watcher: capture completions and block starts, every 0.5 ms.
    std::vector<Clock::time_point> completed, started;
    completed.reserve(static_cast<std::size_t>(totalFrames));
    started.reserve(static_cast<std::size_t>(totalFrames));
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching.load()) {
            const Clock::time_point now = Clock::now();
            const std::uint64_t recorded = sound.GetRecordedBytes();
            while (completed.size() < static_cast<std::size_t>(totalFrames) && recorded >= (completed.size() + 1) * kFrame)
                completed.push_back(now);
            const std::uint64_t played = sound.GetPlayedBytes();
            // A block has begun once the position has moved into it.
            while (played > started.size() * kFrame) started.push_back(now);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });

    // A second of silence on the floor, as a user would leave it, then the
    // talk, then the floor is given back and playback runs dry.
    RunUntil([] { return false; }, 1000);
    dialog.OnSpeakButton();
    const Clock::time_point pressed = Clock::now();
    RunUntil([] { return false; }, seconds * 1000);
    dialog.OnSpeakButton();
    const Clock::time_point released = Clock::now();
    RunUntil([&] { return sound.CountQueuedPlaybackBlocks() == 0 && dialog.Playout().Waiting() == 0; }, 5000);
    RunUntil([] { return false; }, 200);
    watching.store(false);
    watcher.join();
    const CPlayoutBuffer::Stats stats = dialog.Playout().GetStats();
    const int startWait = dialog.Playout().StartDelayMs();
    const int targetLead = dialog.Playout().TargetLeadMs();
    const int received = dialog.ReceivedVoiceFrames();
    const int sent = dialog.SentVoiceFrames();
    dialog.RequestLogout();
    RunUntil([&] { return !dialog.IsLoggedIn(); }, 10000);

    // The played blocks in order are the non-silent blocks of the output;
    // silent blocks between the first and the last are gaps.
    const std::vector<voicecheck::Frame> blocks = voicecheck::SplitFrames(voicecheck::ReadFileBytes(out));
    std::vector<int> tags;
    int gapBlocks = 0, gaps = 0, firstPlayed = -1, lastPlayed = -1;
    for (int j = 0; j < static_cast<int>(blocks.size()); ++j) {
        if (voicecheck::IsSilent(blocks[static_cast<std::size_t>(j)])) continue;
        if (firstPlayed < 0) firstPlayed = j;
        lastPlayed = j;
        tags.push_back(voicecheck::TagOf(blocks[static_cast<std::size_t>(j)]));
    }
    // Where each gap began, in blocks after the first block played.
    std::string gapsAt;
    bool inGap = false;
    for (int j = std::max(firstPlayed, 0); j <= lastPlayed; ++j) {
        const bool silent = voicecheck::IsSilent(blocks[static_cast<std::size_t>(j)]);
        if (silent) {
            ++gapBlocks;
            if (!inGap) {
                ++gaps;
                if (gaps <= 8) {
                    char at[32];
                    std::snprintf(at, sizeof at, "%s%.2f", gapsAt.empty() ? "" : ",", (j - firstPlayed) * kFrameMs / 1000.0);
                    gapsAt += at;
                }
            }
        }
        inGap = silent;
    }

    struct Sample {
        double atMs;  // start of playback, from the press
        double latencyMs;
    };
    std::vector<Sample> samples;
    int unknown = 0;
    for (std::size_t m = 0; m < tags.size() && m < started.size(); ++m) {
        const int tag = tags[m];
        if (tag < 0 || tag >= static_cast<int>(completed.size())) {
            ++unknown;
            continue;
        }
        const Clock::time_point captureStart = completed[static_cast<std::size_t>(tag)] -
                                               std::chrono::microseconds(static_cast<int>(kFrameMs * 1000));
        samples.push_back({Ms(started[m] - pressed), Ms(started[m] - captureStart)});
    }
    std::vector<double> all;
    for (const Sample& s : samples) all.push_back(s.latencyMs);
    // Frames of the talk heard; made-up sound is counted apart (stretched).
    const int heardTags = static_cast<int>(std::count_if(tags.begin(), tags.end(), [](int t) { return t >= 0; }));

    // After the stall: from its end, how long until every frame played
    // within the next second stayed under 100 ms.
    // -1: latency never came back under 100 ms before the talk ended.
    double recoverMs = 0;
    const double stallEndFromPress = stallAt >= 0 ? Ms(connected - pressed) + stallAt + stall : 0;
    if (stallAt >= 0) {
        double lastHigh = -1e9;
        for (const Sample& s : samples) {
            if (s.atMs >= stallEndFromPress - stall && s.latencyMs >= 100.0) lastHigh = std::max(lastHigh, s.atMs);
        }
        if (lastHigh >= Ms(released - pressed) - 100) {
            recoverMs = -1;
        } else {
            recoverMs = std::max(0.0, lastHigh - stallEndFromPress);
        }
    }

    // The two devices' own pace over the talk: a playback faster than
    // capture runs dry now and then however steady the link.
    auto pace = [](const std::vector<Clock::time_point>& at) {
        const std::size_t n = at.size();
        return n > 600 ? Ms(at[n - 100] - at[300]) / static_cast<double>(n - 400) : 0.0;
    };
    // The longest step of each: a device thread held up by the machine.
    auto longest = [](const std::vector<Clock::time_point>& at) {
        double most = 0;
        for (std::size_t i = 300; i + 100 < at.size(); ++i) most = std::max(most, Ms(at[i] - at[i - 1]));
        return most;
    };
    std::printf("pace capture_ms=%.4f playback_ms=%.4f longest_capture_ms=%.1f longest_playback_ms=%.1f\n",
                pace(completed), pace(started), longest(completed), longest(started));
    std::printf("result sent=%d received=%d played_blocks=%d gaps=%d gap_ms=%.0f p50_ms=%.1f p95_ms=%.1f "
                "max_ms=%.1f trimmed=%lld stretched=%lld gaps_seen=%lld start_wait_ms=%d target_lead_ms=%d unknown=%d recover_ms=%.0f messages=%zu "
                "gaps_at_s=%s\n",
                sent, received, heardTags, gaps, gapBlocks * kFrameMs,
                Percentile(all, 0.5), Percentile(all, 0.95), all.empty() ? 0.0 : *std::max_element(all.begin(), all.end()),
                stats.trimmed, stats.stretched, stats.gaps, startWait, targetLead, unknown, recoverMs, messages.size(), gapsAt.empty() ? "-" : gapsAt.c_str());
    if (stallAt >= 0) {
        // p50 of the loop latency in 250 ms steps from a second before the
        // stall's end to four seconds after it.
        std::printf("timeline");
        for (double from = -1000; from < 4000; from += 250) {
            std::vector<double> bucket;
            for (const Sample& s : samples) {
                const double t = s.atMs - stallEndFromPress;
                if (t >= from && t < from + 250) bucket.push_back(s.latencyMs);
            }
            std::printf(" %+.0f:%s", from, bucket.empty() ? "-" : std::to_string(static_cast<int>(Percentile(bucket, 0.5))).c_str());
        }
        std::printf("\n");
    }
    return 0;
}
