// The line reader fed by arbitrary bytes in arbitrary segments. Every line it
// delivers is compared with a model of the framing rules: a line ends at LF,
// a CR right before the LF is dropped, a line longer than maxLength (or than
// the 1024-byte buffer) gives its first part and the rest of it is skipped,
// and an unfinished last line is delivered only when it is already too long.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/net_socket.h"
#include "platform/tools/poller.h"

namespace {

constexpr int kBuffer = CNetSocket::kLineBufferSize;

std::vector<std::string> Model(const std::string& stream, int maxLength) {
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
        size_t lf = stream.find('\n', pos);
        if (lf == std::string::npos) {
            std::string tail = stream.substr(pos);
            int buffered = static_cast<int>(std::min<size_t>(tail.size(), kBuffer));
            if (buffered >= maxLength + 2 || buffered == kBuffer) {
                int d = std::min(buffered, maxLength);
                if (d == buffered && d > 0 && tail[static_cast<size_t>(d) - 1] == '\r') --d;
                lines.push_back(tail.substr(0, static_cast<size_t>(d)));
            }
            return lines;
        }
        std::string raw = stream.substr(pos, lf - pos);
        int r = static_cast<int>(raw.size());
        int d;
        if (r >= kBuffer) {
            d = std::min(maxLength, kBuffer);
            if (d == kBuffer && raw[kBuffer - 1] == '\r') d = kBuffer - 1;
        } else {
            int stripped = (r > 0 && raw[static_cast<size_t>(r) - 1] == '\r') ? r - 1 : r;
            d = std::min(stripped, maxLength);
        }
        lines.push_back(raw.substr(0, static_cast<size_t>(d)));
        pos = lf + 1;
    }
}

[[noreturn]] void Fail(const char* what, size_t index, const std::string& got, const std::string& want) {
    std::fprintf(stderr, "%s at line %zu: got %zu bytes, expected %zu\n", what, index, got.size(), want.size());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    static const int kLengths[] = {0, 1, 2, 5, 16, 100, 998, 999, 1000, 1021, 1022, 1023, 1024, 1025, 9999};
    const int maxLength = input.ConsumeBool() ? input.PickValueInArray(kLengths)
                                              : input.ConsumeIntegralInRange<int>(0, 1100);
    std::vector<std::string> chunks;
    while (input.remaining_bytes() > 0) {
        size_t n = input.ConsumeIntegralInRange<size_t>(1, 1500);
        std::string chunk = input.ConsumeBytesAsString(n);
        if (chunk.empty()) break;
        chunks.push_back(std::move(chunk));
    }

    platform::SocketHandle pair[2];
    if (!platform::SocketPair(pair)) return 0;
    CNetSocket reader(pair[0]);
    CNetSocket writer(pair[1]);
    // The reader never blocks: a receive with nothing waiting ends a drain
    // with -1, and the next chunk carries on from the same buffered state.
    platform::SocketSetNonBlocking(pair[0]);

    std::vector<char> destination(static_cast<size_t>(maxLength) + 1);
    std::vector<std::string> got;
    std::string stream;
    auto drain = [&] {
        for (;;) {
            int r = reader.ReceiveLine(destination.data(), maxLength);
            if (r < 0) return;
            if (r > maxLength || destination[static_cast<size_t>(r)] != '\0') std::abort();
            got.emplace_back(destination.data(), static_cast<size_t>(r));
        }
    };
    for (const std::string& chunk : chunks) {
        stream += chunk;
        size_t sent = 0;
        while (sent < chunk.size()) {
            int r = writer.Send(chunk.data() + sent, static_cast<int>(chunk.size() - sent));
            if (r <= 0) std::abort();
            sent += static_cast<size_t>(r);
        }
        drain();
    }
    writer.Close();
    drain();
    if (reader.ReceiveLine(destination.data(), maxLength) != -1) std::abort();

    std::vector<std::string> want = Model(stream, maxLength);
    for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
        static const std::string kNone;
        const std::string& g = i < got.size() ? got[i] : kNone;
        const std::string& w = i < want.size() ? want[i] : kNone;
        if (i >= got.size()) Fail("line missing", i, g, w);
        if (i >= want.size()) Fail("extra line", i, g, w);
        if (g != w) Fail("line differs", i, g, w);
    }
    return 0;
}
