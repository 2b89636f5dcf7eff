#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>
#include <vector>

#include "histogram.h"
#include "payload.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "platform/tools/poller.h"
#include "platform/tools/process.h"
#include "protocol/messages.h"

namespace load {
namespace {

using platform::kNoSocket;
using platform::SocketHandle;

// Receipts are counted in rings indexed by sequence number; a window never
// exceeds the ring.
constexpr std::int64_t kRing = 1 << 16;
constexpr std::int64_t kRingMask = kRing - 1;
constexpr size_t kInputBuffer = 1 << 16;

bool Begins(std::string_view line, std::string_view keyword) {
    return line.size() >= keyword.size() && std::memcmp(line.data(), keyword.data(), keyword.size()) == 0;
}

struct Client {
    enum State { kWaiting, kLoggingIn, kReady, kClosed };
    int index = 0;
    SocketHandle socket = kNoSocket;
    State state = kWaiting;
    std::int64_t retryAt = 0;  // microseconds; when to connect again
    std::string out;
    size_t outPos = 0;
    bool watchingWrite = false;
    bool dirty = false;
    std::vector<char> in = std::vector<char>(kInputBuffer);
    size_t inLength = 0;
    int memberLists = 0;
    bool eof = false;
    // As a sender of texts.
    std::int64_t sent = 0;
    std::int64_t acked = 0;  // posts that every receiver has had
    std::int64_t nextDue = 0;
    std::vector<std::uint8_t> receipts;
    // As a receiver: the next sequence expected from each sender, and counts.
    std::vector<std::int64_t> nextFrom;
    std::vector<std::int64_t> gotFrom;
    // As a receiver of mixed voice.
    std::int64_t nextRound = 0;
    std::int64_t gotRounds = 0;
};

class Engine {
public:
    explicit Engine(const Options& options) : o_(options) {
        start_ = std::chrono::steady_clock::now();
        n_ = std::max(1, o_.clients);
        speakers_ = (o_.speakers <= 0 || o_.speakers > n_) ? n_ : o_.speakers;
        receiversPerPost_ = o_.protocol == Protocol::kIrc ? n_ - 1 : n_;
        window_ = std::clamp<std::int64_t>(o_.window, 1, kRing - 1);
        clients_.resize(static_cast<size_t>(n_));
        for (int i = 0; i < n_; ++i) {
            Client& c = clients_[static_cast<size_t>(i)];
            c.index = i;
            c.receipts.assign(kRing, 0);
            c.nextFrom.assign(static_cast<size_t>(n_), 0);
            c.gotFrom.assign(static_cast<size_t>(n_), 0);
        }
        roundSent_.assign(kRing, 0);
        roundReceipts_.assign(kRing, 0);
        address_.family = platform::kAfInet;
        address_.port = platform::HostToNetShort(static_cast<std::uint16_t>(o_.port));
        platform::ResolveHost("127.0.0.1", &address_.address);
    }

    ~Engine() {
        for (Client& c : clients_) CloseClient(c);
    }

    Report Run();

private:
    std::int64_t Now() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_)
            .count();
    }
    static std::int64_t Micros(double seconds) { return static_cast<std::int64_t>(seconds * 1e6); }

    bool LogIn();
    bool Barrier();
    void RunText();
    void RunVoice();
    void Drain(std::int64_t deadline);
    void LogOut();

    bool Connect(Client& c);
    void CloseClient(Client& c);
    void Pump(int timeoutMs);
    void Read(Client& c);
    void HandleLine(Client& c, std::string_view line);
    void HandleOrvane(Client& c, std::string_view line);
    void HandleIrc(Client& c, std::string_view line);
    void OnText(Client& c, std::string_view text);
    void OnVoice(Client& c, std::string_view payload);
    void Queue(Client& c) { c.dirty = true; }
    void FlushAll();
    void Flush(Client& c);
    void FillPosts(Client& c, std::int64_t now);
    std::int64_t DeliveredTexts() const;

    Options o_;
    std::chrono::steady_clock::time_point start_;
    int n_ = 0;
    int speakers_ = 0;
    int receiversPerPost_ = 0;
    std::int64_t window_ = 10;
    std::vector<Client> clients_;
    platform::Poller poller_;
    platform::SockAddrIn address_;
    bool sending_ = false;  // the measured phase
    std::int64_t phaseEnd_ = 0;
    LatencyHistogram latency_;
    Report report_;
    // Voice rounds.
    std::int64_t roundsSent_ = 0;
    std::int64_t roundsAcked_ = 0;
    std::int64_t lastAckAt_ = 0;
    std::vector<std::int64_t> roundSent_;
    std::vector<std::uint8_t> roundReceipts_;
};

bool Engine::Connect(Client& c) {
    SocketHandle s = platform::SocketCreate(platform::kAfInet, platform::kSockStream, 0);
    if (s == kNoSocket) return false;
    if (platform::SocketConnect(s, address_) != 0) {
        platform::SocketClose(s);
        return false;
    }
    platform::SocketSetNonBlocking(s);
    if (o_.quickAck) platform::SocketSetQuickAck(s);
    c.socket = s;
    c.state = Client::kLoggingIn;
    c.eof = false;
    c.inLength = 0;
    c.out.clear();
    c.outPos = 0;
    c.watchingWrite = false;
    c.memberLists = 0;
    poller_.Add(s, &c, false);
    char name[32];
    std::snprintf(name, sizeof name, "ld%d", c.index);
    if (o_.protocol == Protocol::kOrvane) {
        c.out += protocol::BuildLogin(name);
        c.out += protocol::BuildWhoAreLogin();
    } else {
        c.out += std::string("NICK ") + name + "\r\nUSER " + name + " 0 * :load\r\n";
    }
    Queue(c);
    return true;
}

void Engine::CloseClient(Client& c) {
    if (c.socket == kNoSocket) return;
    poller_.Remove(c.socket);
    platform::SocketShutdown(c.socket);
    platform::SocketClose(c.socket);
    c.socket = kNoSocket;
    if (c.state != Client::kWaiting) c.state = Client::kClosed;
}

void Engine::Flush(Client& c) {
    c.dirty = false;
    if (c.socket == kNoSocket) {
        c.out.clear();
        c.outPos = 0;
        return;
    }
    while (c.outPos < c.out.size()) {
        int r = platform::SocketSendNow(c.socket, c.out.data() + c.outPos, static_cast<int>(c.out.size() - c.outPos));
        if (r == platform::kWouldBlock) break;
        if (r < 0) {
            c.eof = true;
            break;
        }
        c.outPos += static_cast<size_t>(r);
    }
    if (c.outPos == c.out.size()) {
        c.out.clear();
        c.outPos = 0;
    } else if (c.outPos > (1 << 20)) {
        c.out.erase(0, c.outPos);
        c.outPos = 0;
    }
    bool want = !c.out.empty();
    if (want != c.watchingWrite && !c.eof) {
        poller_.Change(c.socket, &c, want);
        c.watchingWrite = want;
    }
}

void Engine::FlushAll() {
    for (Client& c : clients_) {
        if (c.dirty) Flush(c);
    }
}

void Engine::Pump(int timeoutMs) {
    platform::ReadyEvent events[64];
    int n = poller_.Wait(events, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        auto* c = static_cast<Client*>(events[i].user);
        if (events[i].readable || events[i].closed) Read(*c);
        if (events[i].writable && c->socket != kNoSocket) Flush(*c);
    }
    for (Client& c : clients_) {
        if (c.eof && c.socket != kNoSocket) CloseClient(c);
    }
}

void Engine::Read(Client& c) {
    // A few reads per wake-up, so that one busy connection does not starve the
    // others; the poller reports it again while bytes remain.
    for (int round = 0; round < 4 && c.socket != kNoSocket; ++round) {
        if (c.inLength == c.in.size()) c.inLength = 0;  // a line longer than the buffer: drop it
        int r = platform::SocketRecvNow(c.socket, c.in.data() + c.inLength, static_cast<int>(c.in.size() - c.inLength));
        if (r == platform::kWouldBlock) return;
        if (r <= 0) {
            c.eof = true;
            return;
        }
        if (o_.quickAck) platform::SocketSetQuickAck(c.socket);
        c.inLength += static_cast<size_t>(r);
        char* begin = c.in.data();
        char* end = begin + c.inLength;
        char* p = begin;
        while (p < end) {
            auto* lf = static_cast<char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!lf) break;
            size_t len = static_cast<size_t>(lf - p);
            if (len > 0 && p[len - 1] == '\r') --len;
            HandleLine(c, std::string_view(p, len));
            p = lf + 1;
        }
        c.inLength = static_cast<size_t>(end - p);
        if (p != begin && c.inLength > 0) std::memmove(begin, p, c.inLength);
        if (static_cast<size_t>(r) < c.in.size() / 2) return;  // probably drained
    }
}

void Engine::HandleLine(Client& c, std::string_view line) {
    if (line.empty()) return;
    if (o_.protocol == Protocol::kOrvane) {
        HandleOrvane(c, line);
    } else {
        HandleIrc(c, line);
    }
}

void Engine::HandleOrvane(Client& c, std::string_view line) {
    switch (line[0]) {
        case 'M':
            if (Begins(line, protocol::kMessage)) {
                OnText(c, line.substr(protocol::kMessage.size()));
            } else if (Begins(line, protocol::kMemberSize)) {
                ++c.memberLists;
            }
            return;
        case 'V':
            if (Begins(line, protocol::kVoiceData)) OnVoice(c, line.substr(protocol::kVoiceData.size()));
            return;
        case 'l':
            if (Begins(line, protocol::kLoginSucceeded)) {
                if (c.state == Client::kLoggingIn) c.state = Client::kReady;
            } else if (Begins(line, protocol::kLoginFailed)) {
                // Every slot is still taken (an earlier run's sessions may not
                // have ended yet): try again shortly.
                c.eof = true;
                c.retryAt = Now() + 200000;
            }
            return;
        default:
            return;
    }
}

void Engine::HandleIrc(Client& c, std::string_view line) {
    if (line[0] == ':') {
        size_t space = line.find(' ');
        if (space == std::string_view::npos) return;
        std::string_view rest = line.substr(space + 1);
        if (Begins(rest, "PRIVMSG ")) {
            size_t colon = rest.find(" :");
            if (colon != std::string_view::npos) OnText(c, rest.substr(colon + 2));
        } else if (Begins(rest, "001 ")) {
            c.out += "JOIN " + o_.channel + "\r\n";
            Queue(c);
        } else if (Begins(rest, "366 ")) {
            if (c.state == Client::kLoggingIn) c.state = Client::kReady;
        } else if (Begins(rest, "433 ") || Begins(rest, "ERROR")) {
            report_.error = std::string(line);
        }
    } else if (Begins(line, "PING ")) {
        c.out += "PONG ";
        c.out.append(line.substr(5));
        c.out += "\r\n";
        Queue(c);
    } else if (Begins(line, "ERROR") && c.state != Client::kReady) {
        report_.error = std::string(line);
    }
}

void Engine::OnText(Client& c, std::string_view text) {
    TextStamp stamp;
    if (!ParseText(text, &stamp) || stamp.sender < 0 || stamp.sender >= n_) return;
    const std::int64_t now = Now();
    latency_.Add(now - stamp.sentMicros);
    ++report_.deliveriesTotal;
    if (sending_) ++report_.deliveries;
    auto s = static_cast<size_t>(stamp.sender);
    std::int64_t& next = c.nextFrom[s];
    if (stamp.sequence == next) {
        ++next;
    } else if (stamp.sequence > next) {
        next = stamp.sequence + 1;  // a gap: what is missing counts as lost at the end
    } else {
        ++report_.outOfOrder;
    }
    ++c.gotFrom[s];
    Client& sender = clients_[s];
    if (stamp.sequence >= sender.acked && stamp.sequence < sender.sent) {
        std::uint8_t& count = sender.receipts[static_cast<size_t>(stamp.sequence & kRingMask)];
        ++count;
        while (sender.acked < sender.sent &&
               sender.receipts[static_cast<size_t>(sender.acked & kRingMask)] >= receiversPerPost_) {
            sender.receipts[static_cast<size_t>(sender.acked & kRingMask)] = 0;
            ++sender.acked;
        }
    }
}

void Engine::OnVoice(Client& c, std::string_view payload) {
    std::int64_t round = ParseVoicePayload(payload);
    if (round < 0 || round >= roundsSent_) {
        ++report_.corrupt;
        return;
    }
    const std::int64_t now = Now();
    latency_.Add(now - roundSent_[static_cast<size_t>(round & kRingMask)]);
    ++report_.deliveriesTotal;
    if (sending_) ++report_.deliveries;
    if (round == c.nextRound) {
        ++c.nextRound;
    } else if (round > c.nextRound) {
        c.nextRound = round + 1;
    } else {
        ++report_.outOfOrder;
    }
    ++c.gotRounds;
    if (round >= roundsAcked_) {
        ++roundReceipts_[static_cast<size_t>(round & kRingMask)];
        while (roundsAcked_ < roundsSent_ && roundReceipts_[static_cast<size_t>(roundsAcked_ & kRingMask)] >= n_) {
            roundReceipts_[static_cast<size_t>(roundsAcked_ & kRingMask)] = 0;
            ++roundsAcked_;
            lastAckAt_ = now;
        }
    }
}

bool Engine::LogIn() {
    const std::int64_t deadline = Now() + Micros(o_.loginSeconds);
    for (;;) {
        const std::int64_t now = Now();
        int ready = 0;
        for (Client& c : clients_) {
            if (c.state == Client::kReady) {
                ++ready;
            } else if (c.socket == kNoSocket && now >= c.retryAt) {
                if (!Connect(c)) c.retryAt = now + 100000;
            }
        }
        if (ready == n_) return true;
        if (now >= deadline) {
            char text[96];
            std::snprintf(text, sizeof text, "only %d of %d clients logged in", ready, n_);
            if (report_.error.empty()) report_.error = text;
            return false;
        }
        FlushAll();
        Pump(20);
    }
}

bool Engine::Barrier() {
    // Each speaker starts speaking, then asks for the member list: its answer
    // shows that the start was handled, so every round is mixed from all.
    for (int i = 0; i < speakers_; ++i) {
        Client& c = clients_[static_cast<size_t>(i)];
        c.out += protocol::BuildVoiceStart();
        c.out += protocol::BuildWhoAreLogin();
        Queue(c);
    }
    const std::int64_t deadline = Now() + Micros(o_.loginSeconds);
    while (Now() < deadline) {
        FlushAll();
        int done = 0;
        for (int i = 0; i < speakers_; ++i) done += clients_[static_cast<size_t>(i)].memberLists >= 2 ? 1 : 0;
        if (done == speakers_) return true;
        Pump(20);
    }
    report_.error = "the speakers' start was not confirmed";
    return false;
}

void Engine::FillPosts(Client& c, std::int64_t now) {
    if (c.socket == kNoSocket || c.state != Client::kReady) return;
    const bool rated = o_.rate > 0;
    const auto interval = rated ? static_cast<std::int64_t>(1e6 / o_.rate) : 0;
    bool any = false;
    while (c.sent - c.acked < window_ && (o_.count <= 0 || c.sent < o_.count) && (!rated || c.nextDue <= now)) {
        if (o_.protocol == Protocol::kOrvane) {
            c.out += protocol::kMessage;
        } else {
            c.out += "PRIVMSG ";
            c.out += o_.channel;
            c.out += " :";
        }
        AppendText(c.out, c.index, c.sent, now, o_.size);
        c.out += o_.protocol == Protocol::kOrvane ? protocol::kMessageEnd : protocol::kLineEnd;
        ++c.sent;
        if (rated) c.nextDue += interval;
        any = true;
    }
    if (any) Queue(c);
}

std::int64_t Engine::DeliveredTexts() const {
    std::int64_t sum = 0;
    for (const Client& c : clients_) {
        for (std::int64_t got : c.gotFrom) sum += got;
    }
    return sum;
}

void Engine::RunText() {
    const std::int64_t t0 = Now();
    const std::int64_t end = t0 + Micros(o_.seconds);
    if (o_.rate > 0) {
        // Spread the clients' first posts over one interval.
        const double interval = 1e6 / o_.rate;
        for (Client& c : clients_) c.nextDue = t0 + static_cast<std::int64_t>(interval * c.index / n_);
    }
    const double cpu0 = o_.serverPid > 0 ? platform::ProcessCpuSeconds(o_.serverPid) : -1;
    const double tool0 = platform::ProcessCpuSeconds(platform::CurrentProcessId());
    sending_ = true;
    for (;;) {
        std::int64_t now = Now();
        if (now >= end) break;
        bool allDone = o_.count > 0;
        std::int64_t nextDue = end;
        for (Client& c : clients_) {
            FillPosts(c, now);
            if (o_.count <= 0 || c.sent < o_.count) allDone = false;
            if (o_.rate > 0) nextDue = std::min(nextDue, c.nextDue);
        }
        FlushAll();
        if (allDone) {
            std::int64_t expected = 0;
            for (const Client& c : clients_) expected += c.sent * receiversPerPost_;
            if (DeliveredTexts() >= expected) break;
        }
        int timeout = o_.rate > 0 ? static_cast<int>(std::clamp<std::int64_t>((nextDue - now + 999) / 1000, 0, 50)) : 50;
        Pump(timeout);
    }
    sending_ = false;
    const std::int64_t t1 = Now();
    report_.seconds = static_cast<double>(t1 - t0) / 1e6;
    if (cpu0 >= 0) report_.serverCpuSeconds = platform::ProcessCpuSeconds(o_.serverPid) - cpu0;
    report_.toolCpuSeconds = platform::ProcessCpuSeconds(platform::CurrentProcessId()) - tool0;
    for (const Client& c : clients_) report_.posts += c.sent;
    report_.expected = report_.posts * receiversPerPost_;
    Drain(t1 + Micros(o_.drainSeconds));
    // Whatever a receiver never got from a sender is lost.
    for (const Client& r : clients_) {
        for (const Client& s : clients_) {
            if (o_.protocol == Protocol::kIrc && &r == &s) continue;
            std::int64_t missing = s.sent - r.gotFrom[static_cast<size_t>(s.index)];
            if (missing > 0) report_.lost += missing;
        }
    }
}

void Engine::RunVoice() {
    if (!Barrier()) return;
    const std::int64_t t0 = Now();
    const double cpu0 = o_.serverPid > 0 ? platform::ProcessCpuSeconds(o_.serverPid) : -1;
    const double tool0 = platform::ProcessCpuSeconds(platform::CurrentProcessId());
    // Real-time speakers never wait for the mix: a lost or late round must
    // not stop the clock. Only the as-fast-as-possible shape is windowed.
    const std::int64_t roundWindow = o_.speed > 0 ? kRing - 1 : std::min<std::int64_t>(window_, kRing - 1);
    const double period = o_.speed > 0 ? 16000.0 / o_.speed : 0;
    std::string frame;
    sending_ = true;
    const std::int64_t hardEnd =
        t0 + (o_.speed > 0 ? static_cast<std::int64_t>(period * static_cast<double>(o_.rounds)) : 0) +
        Micros(o_.speed > 0 ? 5 : o_.seconds);
    while (roundsSent_ < o_.rounds) {
        std::int64_t now = Now();
        if (now >= hardEnd) break;
        std::int64_t first = roundsSent_;
        while (roundsSent_ < o_.rounds && roundsSent_ - roundsAcked_ < roundWindow &&
               (o_.speed <= 0 || t0 + static_cast<std::int64_t>(period * static_cast<double>(roundsSent_)) <= now)) {
            frame.clear();
            frame += protocol::kVoiceData;
            AppendVoicePayload(frame, roundsSent_);
            frame += protocol::kMessageEnd;
            for (int i = 0; i < speakers_; ++i) {
                Client& c = clients_[static_cast<size_t>(i)];
                c.out += frame;
                Queue(c);
            }
            ++roundsSent_;
        }
        if (roundsSent_ > first) {
            FlushAll();
            // A round's clock starts when its last speaker's frame has gone.
            const std::int64_t sentAt = Now();
            for (std::int64_t k = first; k < roundsSent_; ++k) roundSent_[static_cast<size_t>(k & kRingMask)] = sentAt;
        }
        int timeout = 20;
        if (o_.speed > 0 && roundsSent_ < o_.rounds) {
            std::int64_t due = t0 + static_cast<std::int64_t>(period * static_cast<double>(roundsSent_));
            timeout = static_cast<int>(std::clamp<std::int64_t>((due - Now() + 999) / 1000, 0, 20));
        }
        Pump(timeout);
    }
    const std::int64_t tSent = Now();
    Drain(tSent + Micros(o_.drainSeconds));
    sending_ = false;
    // The phase lasts until the last round was mixed to everyone (or the
    // last frame was sent, whichever is later).
    const std::int64_t t1 = std::max(tSent, lastAckAt_);
    report_.seconds = static_cast<double>(t1 - t0) / 1e6;
    if (cpu0 >= 0) report_.serverCpuSeconds = platform::ProcessCpuSeconds(o_.serverPid) - cpu0;
    report_.toolCpuSeconds = platform::ProcessCpuSeconds(platform::CurrentProcessId()) - tool0;
    report_.rounds = roundsSent_;
    report_.expected = roundsSent_ * n_;
    for (const Client& c : clients_) report_.lost += std::max<std::int64_t>(0, roundsSent_ - c.gotRounds);
}

void Engine::Drain(std::int64_t deadline) {
    for (;;) {
        FlushAll();
        if (o_.mode == Mode::kText) {
            std::int64_t expected = 0;
            for (const Client& c : clients_) expected += c.sent * receiversPerPost_;
            if (DeliveredTexts() >= expected) return;
        } else if (roundsAcked_ >= roundsSent_) {
            return;
        }
        if (Now() >= deadline) return;
        bool anyOpen = false;
        for (const Client& c : clients_) anyOpen = anyOpen || c.socket != kNoSocket;
        if (!anyOpen) return;
        Pump(20);
    }
}

void Engine::LogOut() {
    for (Client& c : clients_) {
        if (c.socket == kNoSocket) continue;
        if (o_.protocol == Protocol::kOrvane) {
            if (o_.mode == Mode::kVoice && c.index < speakers_) c.out += protocol::BuildVoiceStop();
            c.out += protocol::BuildLogout();
        } else {
            c.out += "QUIT :done\r\n";
        }
        Queue(c);
    }
    // Wait until the server has closed every connection, so that the next
    // run finds its slots free.
    const std::int64_t deadline = Now() + 3000000;
    while (Now() < deadline) {
        FlushAll();
        bool anyOpen = false;
        for (const Client& c : clients_) anyOpen = anyOpen || c.socket != kNoSocket;
        if (!anyOpen) break;
        Pump(20);
    }
    for (Client& c : clients_) CloseClient(c);
}

Report Engine::Run() {
    report_.clients = n_;
    if (!poller_.IsValid()) {
        report_.error = "no poller";
        return report_;
    }
    if (o_.protocol == Protocol::kIrc && o_.mode == Mode::kVoice) {
        report_.error = "voice needs the conference protocol";
        return report_;
    }
    report_.loggedIn = LogIn();
    if (report_.loggedIn) {
        if (o_.mode == Mode::kText) {
            RunText();
        } else {
            RunVoice();
        }
    }
    LogOut();
    report_.p50 = latency_.Percentile(0.50);
    report_.p99 = latency_.Percentile(0.99);
    report_.max = latency_.Max();
    return report_;
}

}  // namespace

Report Run(const Options& options) {
    Engine engine(options);
    return engine.Run();
}

std::string FormatMachine(const Options& o, const Report& r) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(3);
    const double rate = r.seconds > 0 ? static_cast<double>(r.deliveries) / r.seconds : 0;
    s << "result protocol=" << (o.protocol == Protocol::kIrc ? "irc" : "orvane")
      << " mode=" << (o.mode == Mode::kVoice ? "voice" : "text") << " clients=" << r.clients
      << " quickack=" << (o.quickAck ? 1 : 0) << " ok=" << (r.loggedIn && r.error.empty() ? 1 : 0)
      << " seconds=" << r.seconds << " posts=" << r.posts << " rounds=" << r.rounds
      << " deliveries=" << r.deliveries << " deliveries_total=" << r.deliveriesTotal << " expected=" << r.expected
      << " deliveries_per_s=" << rate << " p50_us=" << r.p50 << " p99_us=" << r.p99 << " max_us=" << r.max
      << " lost=" << r.lost << " out_of_order=" << r.outOfOrder << " corrupt=" << r.corrupt;
    if (o.mode == Mode::kVoice) {
        s << " mixed_per_s=" << (r.seconds > 0 ? static_cast<double>(r.rounds) / r.seconds : 0);
    }
    s << " deliveries_per_cpu_s="
      << (r.serverCpuSeconds > 0 ? static_cast<double>(r.deliveries) / r.serverCpuSeconds : -1);
    s << " server_cpu_s=" << r.serverCpuSeconds
      << " server_cpu_pct=" << (r.serverCpuSeconds >= 0 && r.seconds > 0 ? 100 * r.serverCpuSeconds / r.seconds : -1)
      << " tool_cpu_pct=" << (r.seconds > 0 ? 100 * r.toolCpuSeconds / r.seconds : -1);
    return s.str();
}

std::string FormatHuman(const Options& o, const Report& r) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(1);
    if (!r.error.empty()) s << "error: " << r.error << "\n";
    const double rate = r.seconds > 0 ? static_cast<double>(r.deliveries) / r.seconds : 0;
    if (o.mode == Mode::kText) {
        s << r.clients << " clients, " << r.posts << " posts in " << r.seconds << " s: " << rate
          << " deliveries/s; ";
    } else {
        s << r.clients << " clients, " << r.rounds << " rounds in " << r.seconds << " s: "
          << (r.seconds > 0 ? static_cast<double>(r.rounds) / r.seconds : 0) << " mixed frames/s; ";
    }
    s << "latency p50 " << r.p50 << " us, p99 " << r.p99 << " us, max " << r.max << " us; lost " << r.lost
      << ", out of order " << r.outOfOrder;
    if (o.mode == Mode::kVoice) s << ", mixed from different rounds " << r.corrupt;
    if (r.serverCpuSeconds >= 0) s << "; server CPU " << r.serverCpuSeconds << " s";
    s << "\n";
    return s.str();
}

}  // namespace load
