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
#include <random>
#include <thread>
#include <vector>

#include "client/chat_client_dlg.h"
#include "client/strings.h"
#include "voice_frames.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr int kBurstEvery = kRate / 4;
constexpr int kBurstLength = kRate / 50;
constexpr int kLead = kRate * 2;  // before the first burst: login, the press

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
    bool At(std::uint64_t bytes, Clock::time_point* when) const {
        auto it = std::lower_bound(points.begin(), points.end(), bytes,
                                   [](const auto& p, std::uint64_t b) { return p.second < b; });
        if (it == points.end()) return false;
        *when = it->first;
        return true;
    }
};

std::vector<float> Samples(const voicecheck::Bytes& bytes) {
    std::vector<float> out;
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

}  // namespace

bool WriteWidebandInput(const std::string& path, int seconds) {
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 30);
    const int n = kLead + (seconds + 3) * kRate;
    voicecheck::Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(2 * n));
    for (int i = 0; i < n; ++i) {
        double v = noise(rng);
        const int at = i - kLead;
        if (at >= 0 && at % kBurstEvery < kBurstLength) v += 0.5 * 32767 * std::sin(2 * M_PI * 1000.0 * (at % kBurstEvery) / kRate);
        const auto s = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(std::lrint(v), -32768L, 32767L)));
        bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(s >> 8));
    }
    return voicecheck::WriteFileBytes(path, bytes);
}

int RunWidebandLoop(CChatClientDlg& dialog, const std::string& out, int seconds, int stallAtMs, int stallMs) {
    const Clock::time_point connected = Clock::now();
    Run(5000, [&] { return dialog.Voice().IsWideband(); });
    if (!dialog.Voice().IsWideband()) {
        std::fprintf(stderr, "voice_loop_bench: the peer did not answer the request for wideband voice\n");
        return 1;
    }
    // The quality figure wants the sound as recorded.
    for (QMenu* menu : dialog.findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            const std::string text = action->text().toStdString();
            if ((text == tessik::kNoiseSuppressionMenuText || text == tessik::kAutomaticGainMenuText) &&
                action->isChecked()) {
                action->trigger();
            }
        }
    }
    const CWaveDevice& sound = dialog.SoundDevice();
    Timeline recorded, played;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching.load()) {
            const Clock::time_point now = Clock::now();
            const std::uint64_t r = sound.GetRecordedBytes();
            const std::uint64_t p = sound.GetPlayedBytes();
            if (recorded.points.empty() || recorded.points.back().second < r) recorded.points.emplace_back(now, r);
            if (played.points.empty() || played.points.back().second < p) played.points.emplace_back(now, p);
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
    });
    Run(1000);
    dialog.OnSpeakButton();
    const Clock::time_point pressed = Clock::now();
    Run(seconds * 1000);
    dialog.OnSpeakButton();
    const Clock::time_point released = Clock::now();
    Run(5000, [&] { return sound.CountQueuedPlaybackBlocks() == 0 && dialog.Voice().Wideband().Playout().Waiting() == 0; });
    Run(200);
    watching.store(false);
    watcher.join();
    const CWidebandPlayout::Stats stats = dialog.Voice().Wideband().Playout().GetStats();
    const int sent = dialog.SentVoiceFrames();
    const int received = dialog.ReceivedVoiceFrames();
    const int startWait = dialog.Voice().Wideband().Playout().StartDelayMs();
    const int target = dialog.Voice().Wideband().Playout().TargetLeadMs();

    // What was written to the card is the output less the runs of exact
    // silence the card played while it had nothing (the input's noise floor
    // keeps the decoded sound from ever being exactly silent for long).
    const std::vector<float> file = Samples(voicecheck::ReadFileBytes(out));
    std::vector<float> written;
    int gaps = 0;
    double gapMs = 0;
    bool started = false;
    for (std::size_t i = 0; i < file.size();) {
        std::size_t j = i;
        while (j < file.size() && file[j] == 0.0f) ++j;
        if (j - i >= 32) {
            if (started && j < file.size()) {
                ++gaps;
                gapMs += static_cast<double>(j - i) * 1000.0 / kRate;
            }
        } else {
            written.insert(written.end(), file.begin() + static_cast<std::ptrdiff_t>(i), file.begin() + static_cast<std::ptrdiff_t>(j));
        }
        if (j < file.size()) {
            written.push_back(file[j]);
            started = true;
        }
        i = j + 1;
    }
    // Burst b began at input sample kLead + b * kBurstEvery; its onset in
    // what was played is matched to the burst recorded just before it.
    std::vector<double> latency;
    std::vector<double> heardAtMs;  // from the press
    for (std::size_t onset : Onsets(written)) {
        Clock::time_point heard;
        if (!played.At(2 * static_cast<std::uint64_t>(onset), &heard)) continue;
        // The latest burst whose recording began before it was heard.
        Clock::time_point rec{};
        bool found = false;
        for (int b = 0;; ++b) {
            const std::uint64_t at = 2 * static_cast<std::uint64_t>(kLead + b * kBurstEvery) + 4;
            Clock::time_point t;
            if (!recorded.At(at, &t) || t > heard) break;
            rec = t;
            found = true;
        }
        if (found) {
            latency.push_back(Ms(heard - rec));
            heardAtMs.push_back(Ms(heard - pressed));
        }
    }
    // After a stall: from its end until every burst heard stayed under
    // 100 ms; -1 when it never did before the talk ended.
    double recoverMs = 0;
    if (stallAtMs >= 0) {
        const double stallEnd = Ms(connected - pressed) + stallAtMs + stallMs;
        double lastHigh = -1e9;
        for (std::size_t k = 0; k < latency.size(); ++k) {
            if (heardAtMs[k] >= stallEnd - stallMs && latency[k] >= 100.0) lastHigh = std::max(lastHigh, heardAtMs[k]);
        }
        recoverMs = lastHigh >= Ms(released - pressed) - 100 ? -1 : std::max(0.0, lastHigh - stallEnd);
    }
    std::printf("result sent=%d received=%d played_blocks=%zu gaps=%d gap_ms=%.0f p50_ms=%.1f p95_ms=%.1f max_ms=%.1f "
                "trimmed=%lld stretched=%lld concealed=%lld start_wait_ms=%d target_lead_ms=%d recover_ms=%.0f\n",
                sent, received, latency.size(), gaps, gapMs, Percentile(latency, 0.5), Percentile(latency, 0.95),
                latency.empty() ? 0.0 : *std::max_element(latency.begin(), latency.end()), stats.trimmedMs,
                stats.stretched, stats.concealed, startWait, target, recoverMs);
    return 0;
}
