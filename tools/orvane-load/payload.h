// What the load clients put inside the traffic so that every receiver can
// tell who sent it, its sequence number and when it was sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace load {

// A text: "#" sender(3) "." sequence(9) "." send time in microseconds(14) "."
// then filler up to the requested size.
constexpr int kTextHeaderLength = 30;

void AppendText(std::string& out, int sender, std::int64_t sequence, std::int64_t sentMicros, int size);

struct TextStamp {
    int sender = 0;
    std::int64_t sequence = 0;
    std::int64_t sentMicros = 0;
};
// False when the text was not made by AppendText.
bool ParseText(std::string_view text, TextStamp* stamp);

// A voice payload whose first sixteen characters carry the round number, its
// complement and a hash of it; the rest is silence. Every speaker sends the same
// payload for a round, so the average the server mixes is that payload
// again, and a receiver can tell which round a mixed frame belongs to. A
// frame mixed from different rounds fails the check.
void AppendVoicePayload(std::string& out, std::int64_t round);
// The round, or -1 when the payload does not carry a consistent one.
std::int64_t ParseVoicePayload(std::string_view payload);

}  // namespace load
