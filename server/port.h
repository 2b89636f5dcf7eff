// How the server settles its TCP port: one command-line argument, or a line
// typed at the prompt; anything that is not a number from 1024 to 65535
// gives 1024.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kPortPrompt = "Which port? Port Number(default 1024):";
inline constexpr std::uint16_t kDefaultPort = 1024;
// Characters of a typed line that count.
inline constexpr std::size_t kPortInputLength = 8;

// Read like C's atoi (leading blanks, a sign, digits up to the first
// non-digit); below 1024 or above 65535 gives 1024.
std::uint16_t PortFromString(std::string_view text);

// The port string when the program got exactly one argument. False for none
// or several: the prompt decides then.
bool PortStringFromArguments(int argc, const char* const* argv, std::string* portString);

// What a line typed at the prompt contributes: its first 8 characters.
std::string PortStringFromLine(std::string_view line);
