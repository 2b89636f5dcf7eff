// Wideband voice under load through the real server: 25 members on
// loopback, some of them speaking in 10 ms Opus packets at real time, every
// member reading all it gets. Prints the server's CPU as a share of one
// core, what each member sends and receives in kbit/s (line framing
// included) and the packets lost (gaps in each member's sequence numbers,
// and rounds that never arrived). Today's voice (16 ms frames, everyone
// legacy) runs the same way for comparison.
//
//   wideband_load [seconds] [members] [wideband|today]
//
// The third argument runs only the wideband shapes or only today's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/net_socket.h"
#include "platform/tools/poller.h"
#include "platform/tools/process.h"
#include "protocol/base64.h"
#include "protocol/opus_codec.h"
#include "protocol/voice_codec.h"
#include "protocol/wideband_messages.h"
#include "server/server_process.h"
#include "support/loopback.h"
#include "support/tone.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Member {
    std::unique_ptr<CNetSocket> socket;
    std::string buffer;
    long long bytesIn = 0;
    long long bytesOut = 0;
    long long packets = 0;  // "Opus Data" or "Voice Data" received
    long long gaps = 0;     // packets skipped in the sequence
    int lastSequence = -1;
    bool ready = false;
    bool speaks = false;
    // When each packet or frame arrived, in the order received.
    std::vector<Clock::time_point> arrivals;
};

struct Shape {
    const char* name;
    bool wideband;
    int speakers;
};

// The messages that arrived for one member, counted.
void Take(Member& m, bool wideband) {
    std::size_t start = 0;
    for (std::size_t end; (end = m.buffer.find("\r\n\r\n", start)) != std::string::npos; start = end + 4) {
        std::string_view msg(m.buffer.data() + start, end - start);
        if (msg.starts_with("Opus Data:")) {
            ++m.packets;
            m.arrivals.push_back(Clock::now());
            const int sequence = std::atoi(std::string(msg.substr(10, 5)).c_str());
            if (m.lastSequence >= 0) m.gaps += (sequence - m.lastSequence - 1 + 100000) % 100000;
            m.lastSequence = sequence;
        } else if (msg.starts_with("Voice Data:")) {
            ++m.packets;
            m.arrivals.push_back(Clock::now());
        } else if (wideband ? msg.starts_with("Voice Codec:opus") : msg.starts_with("login succeeded")) {
            m.ready = true;
        }
    }
    m.buffer.erase(0, start);
}

bool SendAll(Member& m, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int r = m.socket->Send(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (r <= 0) return false;
        sent += static_cast<std::size_t>(r);
    }
    m.bytesOut += static_cast<long long>(bytes.size());
    return true;
}

void Drain(platform::Poller& poller, int timeoutMs, bool wideband) {
    platform::ReadyEvent events[64];
    const int n = poller.Wait(events, 64, timeoutMs);
    char bytes[65536];
    for (int i = 0; i < n; ++i) {
        auto* m = static_cast<Member*>(events[i].user);
        for (;;) {
            int r = platform::SocketRecvNow(m->socket->Handle(), bytes, sizeof bytes);
            if (r <= 0) break;
            m->bytesIn += r;
            m->buffer.append(bytes, static_cast<std::size_t>(r));
        }
        Take(*m, wideband);
    }
}

// A speaker's lines: a second of its tone, sent round and round.
std::vector<std::string> Payloads(bool wideband, int speaker) {
    std::vector<std::string> out;
    const double hz = 300 + 37 * speaker;
    if (wideband) {
        protocol::COpusEncoder encoder;
        std::uint8_t packet[protocol::kOpusMaxEncodedBytes];
        for (int i = 0; i < 100; ++i) {
            auto pcm = tone::Sine(hz, 0.2, i * protocol::kWidebandFrameSamples, protocol::kWidebandFrameSamples);
            const int n = encoder.Encode(pcm.data(), packet);
            std::string b64;
            protocol::AppendBase64(b64, std::span<const std::uint8_t>(packet, static_cast<std::size_t>(n)));
            out.push_back(b64);
        }
    } else {
        for (int i = 0; i < 62; ++i) {
            auto pcm = tone::Sine(hz, 0.2, i * 128, 128, 8000);
            std::string payload;
            for (float v : pcm) payload.push_back(protocol::EncodeSample(static_cast<std::uint8_t>(std::clamp(128 + 128 * v, 0.0f, 252.0f))));
            out.push_back("Voice Data:" + payload + "\r\n\r\n");
        }
    }
    return out;
}

bool RunShape(const Shape& shape, int memberCount, double seconds) {
    servertest::ServerProcess server;
    if (!server.Start()) {
        std::fprintf(stderr, "wideband_load: the server did not start\n");
        return false;
    }
    const int pid = server.Child().Pid();
    std::vector<Member> members(static_cast<std::size_t>(memberCount));
    platform::Poller poller;
    for (int i = 0; i < memberCount; ++i) {
        Member& m = members[static_cast<std::size_t>(i)];
        m.socket = std::make_unique<CNetSocket>(platform::kAfInet, platform::kSockStream, 0);
        if (m.socket->Connect(testsupport::LoopbackAddress(server.Port())) != 0) return false;
        poller.Add(m.socket->Handle(), &m, false);
        std::string hello = "login:m" + std::to_string(i + 1) + "\r\n\r\n";
        if (shape.wideband) hello += "Voice Codec:opus\r\n\r\n";
        m.speaks = i < shape.speakers;
        if (m.speaks) hello += "Voice Start\r\n\r\n";
        SendAll(m, hello);
    }
    const auto readyBy = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < readyBy &&
           !std::all_of(members.begin(), members.end(), [](const Member& m) { return m.ready; })) {
        Drain(poller, 10, shape.wideband);
    }
    std::vector<std::vector<std::string>> lines;
    for (int s = 0; s < shape.speakers; ++s) lines.push_back(Payloads(shape.wideband, s));
    for (Member& m : members) {
        m.bytesIn = m.bytesOut = m.packets = m.gaps = 0;
        m.arrivals.clear();
    }
    std::vector<Clock::time_point> sentAt;

    const int stepMs = shape.wideband ? protocol::kWidebandFrameMs : 16;
    const int steps = static_cast<int>(seconds * 1000 / stepMs);
    const double cpu0 = platform::ProcessCpuSeconds(pid);
    const auto start = Clock::now();
    for (int step = 0; step < steps; ++step) {
        sentAt.push_back(Clock::now());
        for (int s = 0; s < shape.speakers; ++s) {
            const auto& own = lines[static_cast<std::size_t>(s)];
            const std::string& payload = own[static_cast<std::size_t>(step) % own.size()];
            if (shape.wideband) {
                char head[24];
                std::snprintf(head, sizeof head, "Opus Data:%05d:", step % 100000);
                SendAll(members[static_cast<std::size_t>(s)], head + payload + "\r\n\r\n");
            } else {
                SendAll(members[static_cast<std::size_t>(s)], payload);
            }
        }
        const auto next = start + std::chrono::milliseconds(stepMs * (step + 1));
        for (auto now = Clock::now(); now < next; now = Clock::now()) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count());
            Drain(poller, std::max(left, 0), shape.wideband);
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = platform::ProcessCpuSeconds(pid) - cpu0;
    // What is still on its way.
    for (auto until = Clock::now() + std::chrono::milliseconds(500); Clock::now() < until;) {
        Drain(poller, 20, shape.wideband);
    }
    long long inMax = 0, inSum = 0, outMax = 0, gaps = 0, fewest = -1;
    for (const Member& m : members) {
        inMax = std::max(inMax, m.bytesIn);
        inSum += m.bytesIn;
        outMax = std::max(outMax, m.bytesOut);
        gaps += m.gaps;
        fewest = fewest < 0 ? m.packets : std::min(fewest, m.packets);
    }
    const double kbit = 8.0 / 1000.0 / wall;
    // The server's part of the latency: from the start of a step's sending
    // to the first packet at the last member (a listener while not
    // everyone speaks) that came after it and was not already matched to an
    // earlier step. Counting arrivals by index would not do: a round the
    // wideband mixer makes without a late speaker is one packet more, and
    // every later step would be matched to the round before its own.
    std::vector<double> transit;
    const Member& last = members.back();
    std::size_t next = 0;
    for (const Clock::time_point sent : sentAt) {
        while (next < last.arrivals.size() && last.arrivals[next] < sent) ++next;
        if (next == last.arrivals.size()) break;
        transit.push_back(std::chrono::duration<double, std::milli>(last.arrivals[next++] - sent).count());
    }
    std::sort(transit.begin(), transit.end());
    auto at = [&](double q) { return transit.empty() ? -1.0 : transit[static_cast<std::size_t>(q * (transit.size() - 1))]; };
    std::printf("%-22s members %2d speaking %2d  server CPU %5.1f %% of a core  "
                "kbit/s per member: down %.1f (max %.1f), up %.1f (max)  "
                "packets: sent %d per speaker, fewest received %lld, sequence gaps %lld  "
                "through the server p50 %.2f ms p95 %.2f ms\n",
                shape.name, memberCount, shape.speakers, 100.0 * cpu / wall,
                static_cast<double>(inSum) / memberCount * kbit, static_cast<double>(inMax) * kbit,
                static_cast<double>(outMax) * kbit, steps, fewest, gaps, at(0.5), at(0.95));
    std::fflush(stdout);
    for (Member& m : members) SendAll(m, "logout\r\n\r\n");
    server.PressEnter();
    server.WaitForExit();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int memberCount = argc > 2 ? std::atoi(argv[2]) : 25;
    const Shape shapes[] = {
        {"wideband, 3 speak", true, 3},
        {"wideband, all speak", true, memberCount},
        {"today's voice, 3 speak", false, 3},
        {"today's voice, all", false, memberCount},
    };
    const std::string only = argc > 3 ? argv[3] : "";
    bool ok = true;
    for (const Shape& shape : shapes) {
        if ((only == "wideband" && !shape.wideband) || (only == "today" && shape.wideband)) continue;
        ok = RunShape(shape, memberCount, seconds) && ok;
    }
    return ok ? 0 : 1;
}
