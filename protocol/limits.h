// The limits of the conference protocol, each defined here once and used by
// name on both sides.
#pragma once

namespace protocol {

// Longest line the server takes from a client, its line end not counted.
// Longer lines are cut to this length.
inline constexpr int kMaxLineLength = 998;
// Characters of a member's name that the server keeps and sends.
inline constexpr int kMaxNameLength = 49;
// Characters of the name in "Member logout".
inline constexpr int kLogoutNameLength = 24;
// Samples in one voice frame, and characters in its payload.
inline constexpr int kVoiceFrameLength = 128;
// Members (and connections) one server serves at once.
inline constexpr int kMaxMembers = 25;

}  // namespace protocol
