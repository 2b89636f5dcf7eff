#include "server/master_thread.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

// How often an idle master_thread looks for a stop.
constexpr int kStopCheckMs = 50;
// Events handled one after another, while more are waiting, before the
// writers that got something are woken: under load a writer then sends many
// records per wake-up instead of being woken for each.
constexpr int kEventsPerWake = 32;
// How often connections are checked against the login limit.
constexpr auto kLoginCheckEvery = std::chrono::milliseconds(100);

class Master final : public ConferenceSink {
public:
    explicit Master(const MasterParameters& p)
        : sessions_(p.sessions),
          count_(p.sessionCount),
          events_(p.events),
          disconnecting_(p.disconnecting),
          stopping_(p.stopping),
          checkLoginLimit_(p.loginLimitMs > 0),
          conference_(p.sessionCount, *this, std::chrono::milliseconds(p.loginLimitMs), p.pool,
                      p.historyLimit),
          toWake_(static_cast<std::size_t>(p.sessionCount)) {}

    void Run() {
        auto nextLoginCheck = Clock::now();
        while (!Stopping()) {
            bool got = events_->ReceiveWithin(event_, WaitMs()) == 1;
            for (int handled = 0; got; ++handled) {
                if (disconnecting_ && disconnecting_->load()) break;
                // With nothing else waiting, replies go out on this thread
                // at once; when events pile up, the writers send them in
                // batches.
                quiet_ = events_->FreeSlots() == events_->Capacity() - 1;
                conference_.Handle(SlotOf(event_.session), event_, Conference::NowUs());
                got = handled + 1 < kEventsPerWake && events_->ReceiveWithin(event_, 0) == 1;
            }
            // A wideband round that waited long enough for a late speaker
            // goes on without it.
            if (!(disconnecting_ && disconnecting_->load())) {
                quiet_ = events_->FreeSlots() == events_->Capacity() - 1;
                conference_.RunVoiceRounds(Conference::NowUs());
            }
            WakeWriters();
            if (checkLoginLimit_) {
                auto now = Clock::now();
                if (now >= nextLoginCheck) {
                    conference_.CheckLoginLimit(now);
                    nextLoginCheck = now + kLoginCheckEvery;
                }
            }
        }
    }

    // ---- ConferenceSink: the decisions, applied to the sessions ----

    Sent Send(int slot, const WireRef& record) override {
        bool wake = false;
        const CSession::SendResult result = At(slot).SendMessage(record, &wake, quiet_);
        if (wake) toWake_[static_cast<std::size_t>(slot)] = true;
        switch (result) {
            case CSession::SendResult::kQueued:
                return Sent::kQueued;
            case CSession::SendResult::kOverflow:
                return Sent::kOverflow;
            default:
                return Sent::kRefused;
        }
    }

    void End(int slot, std::string_view why) override {
        std::fprintf(stderr, "Orvane: %.*s\n", static_cast<int>(why.size()), why.data());
        std::fflush(stderr);
        At(slot).EndConnection();
    }

    void EndIfConnectedBefore(int slot, Clock::time_point cutoff, std::uint64_t spared) override {
        At(slot).EndIfConnectedBefore(cutoff, spared);
    }

    bool HasConnection(int slot) override { return At(slot).IsOccupied(); }

private:
    // Until the next event, the next wideband round due or the next look
    // for a stop, whichever comes first.
    int WaitMs() const {
        const std::optional<std::int64_t> deadline = conference_.VoiceDeadline();
        if (!deadline) return kStopCheckMs;
        const std::int64_t left = *deadline - Conference::NowUs();
        if (left <= 0) return 0;
        return static_cast<int>(std::min<std::int64_t>(kStopCheckMs, (left + 999) / 1000));
    }

    bool Stopping() const { return stopping_ && stopping_->load(); }

    CSession& At(int i) const { return *sessions_[i]; }

    int SlotOf(const CSession* s) const {
        for (int i = 0; i < count_; ++i) {
            if (sessions_[i] == s) return i;
        }
        return -1;
    }

    void WakeWriters() {
        for (int i = 0; i < count_; ++i) {
            if (toWake_[static_cast<std::size_t>(i)]) {
                toWake_[static_cast<std::size_t>(i)] = false;
                At(i).WakeWriter();
            }
        }
    }

    CSession* const* sessions_;
    int count_;
    EventBuffer* events_;
    const std::atomic<bool>* disconnecting_;
    const std::atomic<bool>* stopping_;
    bool checkLoginLimit_;
    Conference conference_;
    SessionEvent event_;
    // Writers that got records while asleep, woken once the batch is done.
    std::vector<bool> toWake_;
    // No other event was waiting when this one was taken.
    bool quiet_ = false;
};

}  // namespace

std::uint32_t master_thread(void* argument) {
    Master master(*static_cast<MasterParameters*>(argument));
    master.Run();
    return 0;
}
