// Codes of the records that server threads hand each other. 492xx: what a
// session's reader saw; 493xx: replies about a session's own state; 494xx:
// announcements about members. A text message and a voice frame keep their
// event code on the way out.
#pragma once

// Session reader -> master_thread.
inline constexpr int EV_LOGIN = 49210;
inline constexpr int EV_MESSAGE = 49211;
inline constexpr int EV_WHO = 49212;
inline constexpr int EV_LOGOUT = 49213;
inline constexpr int EV_VOICE_START = 49214;
inline constexpr int EV_VOICE_STOP = 49215;
inline constexpr int EV_VOICE_DATA = 49216;
// The connection asks for the speaking member list, now and on every change.
inline constexpr int EV_WHO_SPEAKING = 49217;
// The connection asks for the most recent relayed messages, once.
inline constexpr int EV_MESSAGE_HISTORY = 49218;
// The connection asks for wideband voice ("Voice Codec:opus").
inline constexpr int EV_VOICE_CODEC = 49219;
// One Opus packet of a wideband speaker; also the code of the packets sent
// out to wideband connections.
inline constexpr int EV_OPUS_DATA = 49220;

// master_thread (or the core at shutdown) -> a session's writer.
inline constexpr int MSG_LOGIN_SUCCEEDED = 49310;
inline constexpr int MSG_LOGIN_FAILED = 49311;
inline constexpr int MSG_LOGOUT_SUCCEEDED = 49312;
inline constexpr int MSG_DISCONNECTED = 49313;
inline constexpr int MSG_MEMBER_LOGIN = 49410;
inline constexpr int MSG_MEMBER_LIST = 49411;
inline constexpr int MSG_SPEAKING_LIST = 49412;
inline constexpr int MSG_MEMBER_LOGOUT = 49413;
// The first line of the history answer; the relayed records follow it.
inline constexpr int MSG_MESSAGE_HISTORY = 49414;
