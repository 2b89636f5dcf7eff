// ReceiveLine throughput: lines per second through a connected pair, with the
// writer and the reader on one thread so that the figure does not depend on
// scheduling. Each iteration writes one batch of lines in one send and reads
// them back line by line.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "common/net_socket.h"
#include "platform/tools/poller.h"
#include "support/loopback.h"

namespace {

constexpr int kBatchLines = 64;

std::string MakeBatch(int lineLength) {
    std::string line(static_cast<size_t>(lineLength), 'x');
    line += "\r\n";
    std::string batch;
    for (int i = 0; i < kBatchLines; ++i) batch += line;
    return batch;
}

struct Pair {
    std::unique_ptr<CNetSocket> reader;
    std::unique_ptr<CNetSocket> writer;
};

// A local socket pair: the cheapest stream the line reader can sit on.
Pair MakeLocalPair() {
    platform::SocketHandle s[2];
    if (!platform::SocketPair(s)) throw std::runtime_error("no socket pair");
    return {std::make_unique<CNetSocket>(s[0]), std::make_unique<CNetSocket>(s[1])};
}

Pair MakeTcpPair() {
    auto pair = testsupport::MakeLoopbackPair();
    return {std::move(pair.local), std::move(pair.peer)};
}

void RunLines(benchmark::State& state, Pair pair) {
    const int lineLength = static_cast<int>(state.range(0));
    const std::string batch = MakeBatch(lineLength);
    std::string destination(1000, '\0');
    for (auto _ : state) {
        size_t sent = 0;
        while (sent < batch.size()) {
            int r = pair.writer->Send(batch.data() + sent, static_cast<int>(batch.size() - sent));
            if (r <= 0) {
                state.SkipWithError("send failed");
                return;
            }
            sent += static_cast<size_t>(r);
        }
        for (int i = 0; i < kBatchLines; ++i) {
            int r = pair.reader->ReceiveLine(destination.data(), 999);
            if (r != lineLength) {
                state.SkipWithError("unexpected line");
                return;
            }
            benchmark::DoNotOptimize(destination.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatchLines);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(batch.size()));
}

void BM_ReceiveLine_SocketPair(benchmark::State& state) { RunLines(state, MakeLocalPair()); }
void BM_ReceiveLine_Loopback(benchmark::State& state) { RunLines(state, MakeTcpPair()); }

// Line lengths: a short request, a 100-byte chat text, a voice frame line
// ("Voice Data:" + 128), and nearly the longest line the server reads.
BENCHMARK(BM_ReceiveLine_SocketPair)->Arg(14)->Arg(108)->Arg(139)->Arg(990);
BENCHMARK(BM_ReceiveLine_Loopback)->Arg(14)->Arg(108)->Arg(139)->Arg(990);

}  // namespace
