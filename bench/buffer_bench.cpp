// Hand-over costs of the copying ring and the waiting buffer: one thread alone
// (the cost of a copy under the locks), and a producer handing records to a
// consumer thread (the cost of waking it).
#include <benchmark/benchmark.h>

#include <string>

#include "common/queue.h"
#include "common/thread_communication_buffer.h"
#include "platform/thread.h"

namespace {

const std::string kRecord(100, 'r');

void BM_QueuePostPop(benchmark::State& state) {
    Queue<std::string> queue(256);
    std::string out;
    for (auto _ : state) {
        queue.Post(kRecord);
        queue.Pop(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueuePostPop);

void BM_BufferSendReceiveOneThread(benchmark::State& state) {
    CThreadCommunicationBuffer<std::string> buffer(256);
    std::string out;
    for (auto _ : state) {
        buffer.Send(kRecord, 1);
        buffer.Receive(out, 1);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BufferSendReceiveOneThread);

struct HandOver {
    CThreadCommunicationBuffer<std::string> buffer{256};
    long count = 0;
};

std::uint32_t Consume(void* argument) {
    auto* h = static_cast<HandOver*>(argument);
    std::string out;
    for (long i = 0; i < h->count; ++i) h->buffer.Receive(out, 1);
    return 0;
}

// Records per second from one thread to another through a 256-slot buffer.
void BM_BufferHandOverTwoThreads(benchmark::State& state) {
    constexpr long kBatch = 10000;
    for (auto _ : state) {
        HandOver h;
        h.count = kBatch;
        platform::Thread consumer = platform::Thread::Start(Consume, &h);
        for (long i = 0; i < kBatch; ++i) h.buffer.Send(kRecord, 1);
        consumer.Join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BufferHandOverTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
