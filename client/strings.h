// Every text the client shows, in UTF-8. String resources keep their numbers
// so that a translation can find them; %1 and %2 are filled by FormatText.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tessik {

inline constexpr std::string_view kProgramName = "Tessik";

// String resources.
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDS_NOT_INTEGER = 61712;
inline constexpr int IDS_INTEGER_RANGE = 61714;
inline constexpr int IDS_TEXT_TOO_LONG = 61716;

inline constexpr std::string_view kAboutMenuText = "Tessik のﾊﾞｰｼﾞｮﾝ情報(&A)...";     // 101
// Context menu entries for the wideband send side, checked while on.
inline constexpr std::string_view kNoiseSuppressionMenuText = "ノイズ抑制(&N)";
inline constexpr std::string_view kAutomaticGainMenuText = "自動音量調整(&G)";
inline constexpr std::string_view kNotAnInteger = "整数を入力してください。";               // 61712
inline constexpr std::string_view kIntegerRange = "%1 から %2 までの整数を入力してください。";  // 61714
inline constexpr std::string_view kTooLong = "%1 文字以内で入力してください。";             // 61716

// The string resource with that number, empty when there is none.
std::string_view LoadString(int id);

// Replaces %1, %2 ... with the arguments in order; other text is kept.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> arguments);

// Captions.
inline constexpr std::string_view kAboutCaption = "Tessikのﾊﾞｰｼﾞｮﾝ情報";
inline constexpr std::string_view kSpeakIdle = "発　言";      // from the dialog template
inline constexpr std::string_view kSpeakStopped = "発 言";    // after speaking has ended once
inline constexpr std::string_view kSpeakActive = "発言中";

// Messages of the session.
inline constexpr std::string_view kHostNotFound =
    "インターネット接続が切れているか、\r\nホストが見つかりませんでした";
inline constexpr std::string_view kConnectFailed = "ホストに接続できませんでした";
inline constexpr std::string_view kLoginRefused = "ログインできませんでした";
inline constexpr std::string_view kDisconnectedNotice = "接続が切断されました";
inline constexpr std::string_view kConnectionLost = "ホストより接続が切断されました。";

// Lines of the message log.
inline constexpr std::string_view kJoinedSuffix = "さんが参加されました\r\n";
inline constexpr std::string_view kLeftSuffix = "さんが退席されました\r\n";
inline constexpr std::string_view kChatSeparator = "> ";
inline constexpr std::string_view kLogLineEnd = "\r\n";

// Limits of the fields.
inline constexpr int kNameLimit = 45;  // bytes of the name as it goes on the wire
inline constexpr int kPortMin = 1024;
inline constexpr int kPortMax = 65535;

}  // namespace tessik
