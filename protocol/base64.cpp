#include "protocol/base64.h"

#include <array>

namespace protocol {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeValues() {
    std::array<std::uint8_t, 256> values{};
    for (auto& v : values) v = kInvalid;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return values;
}
constexpr std::array<std::uint8_t, 256> kValues = MakeValues();

}  // namespace

void AppendBase64(std::string& out, std::span<const std::uint8_t> bytes) {
    out.reserve(out.size() + Base64Length(bytes.size()));
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out.push_back(kAlphabet[group >> 18]);
        out.push_back(kAlphabet[(group >> 12) & 63]);
        out.push_back(kAlphabet[(group >> 6) & 63]);
        out.push_back(kAlphabet[group & 63]);
    }
    std::size_t left = bytes.size() - i;
    if (left == 0) return;
    std::uint32_t group = bytes[i] << 16;
    if (left == 2) group |= bytes[i + 1] << 8;
    out.push_back(kAlphabet[group >> 18]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(left == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
}

bool DecodeBase64(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::size_t digits = last ? 4 - padding : 4;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint8_t v = 0;
            if (k < digits) {
                v = kValues[static_cast<unsigned char>(text[i + k])];
                if (v == kInvalid) return false;
            }
            group = (group << 6) | v;
        }
        out.push_back(static_cast<char>(group >> 16));
        if (digits >= 3) out.push_back(static_cast<char>((group >> 8) & 0xFF));
        if (digits == 4) out.push_back(static_cast<char>(group & 0xFF));
        // What the padding covers must be zero, or two spellings would mean
        // one byte string.
        if (digits == 2 && (group & 0xFFFF) != 0) return false;
        if (digits == 3 && (group & 0xFF) != 0) return false;
    }
    return true;
}

}  // namespace protocol
