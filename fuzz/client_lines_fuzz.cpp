// Whatever a client may send, taken line by line the way the server's reader
// takes it: recognition of the request, the value after its keyword, the
// voice payload (never read past the line) and its decoding.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "protocol/messages.h"
#include "protocol/voice_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    while (!all.empty()) {
        size_t lf = all.find('\n');
        std::string_view line = all.substr(0, lf);
        all = lf == std::string_view::npos ? std::string_view() : all.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        std::string_view value;
        protocol::ClientRequest kind = protocol::ClassifyClientLine(line, &value);
        switch (kind) {
            case protocol::ClientRequest::kLogin:
            case protocol::ClientRequest::kMessage:
            case protocol::ClientRequest::kVoiceData:
                // The value is the rest of the same line.
                if (value.data() < line.data() || value.data() + value.size() != line.data() + line.size()) {
                    std::abort();
                }
                break;
            default:
                break;
        }
        if (kind == protocol::ClientRequest::kVoiceData) {
            std::string_view payload = protocol::VoicePayload(value);
            if (!payload.empty()) {
                if (payload.size() != protocol::kVoiceFrameLength) std::abort();
                std::uint8_t frame[protocol::kVoiceFrameLength];
                std::memcpy(frame, payload.data(), sizeof frame);
                protocol::DecodeVoiceFrame(frame);
                for (std::uint8_t s : frame) {
                    if (s % 4 != 0 || s > 252) std::abort();
                }
                protocol::EncodeVoiceFrame(frame);
            } else if (value.size() >= protocol::kVoiceFrameLength) {
                std::abort();
            }
        }
        (void)protocol::ParseNumber(line);
        (void)protocol::ClassifyServerLine(line);
    }
    return 0;
}
