// The dialog templates of the client as tables: every control with its id,
// kind, caption and position in dialog units, and the conversion of dialog
// units to pixels from the dialog font (a quarter of the average character
// width across, an eighth of the character height down).
#pragma once

#include <array>
#include <string_view>

#include <QFont>
#include <QRect>

namespace tessik {

// Dialog templates.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_CHATCLIENT_DIALOG = 102;

// Icons.
inline constexpr int IDI_PROGRAM = 128;
inline constexpr int IDI_MEMBER = 130;
inline constexpr int IDI_SPEAKER = 131;

// Controls of the main dialog.
inline constexpr int IDC_NONE = -1;  // labels
inline constexpr int IDC_HOST = 1000;
inline constexpr int IDC_NAME = 1001;
inline constexpr int IDC_PORT = 1002;
inline constexpr int IDC_LOG = 1003;
inline constexpr int IDC_POST_TEXT = 1004;
inline constexpr int IDC_LOGIN = 1006;
inline constexpr int IDC_LOGOUT = 1007;
inline constexpr int IDC_SPEAK = 1008;
inline constexpr int IDC_POST = 1009;
inline constexpr int IDC_MEMBERS = 1010;
inline constexpr int IDOK = 1;

enum class ControlKind { kLabel, kLineEdit, kMultiLineEdit, kPushButton, kListView, kIcon };

struct ControlTemplate {
    int id;
    ControlKind kind;
    std::string_view caption;
    int x, y, width, height;  // dialog units
};

struct DialogTemplate {
    std::string_view caption;
    int width, height;  // dialog units, client area
};

// Main dialog, controls in creation (and tab) order.
inline constexpr DialogTemplate kMainDialog{"Tessik", 293, 239};
inline constexpr std::array<ControlTemplate, 16> kMainDialogControls{{
    {IDC_NONE, ControlKind::kLabel, "ホスト", 11, 9, 18, 8},
    {IDC_HOST, ControlKind::kLineEdit, "", 32, 7, 184, 12},
    {IDC_NONE, ControlKind::kLabel, "参加名", 7, 29, 22, 8},
    {IDC_NAME, ControlKind::kLineEdit, "", 32, 27, 97, 12},
    {IDC_NONE, ControlKind::kLabel, "ポート番号", 141, 29, 32, 8},
    {IDC_PORT, ControlKind::kLineEdit, "", 175, 27, 41, 12},
    {IDC_LOGIN, ControlKind::kPushButton, "ログイン", 235, 6, 50, 14},
    {IDC_LOGOUT, ControlKind::kPushButton, "ログアウト", 235, 26, 50, 14},
    {IDC_NONE, ControlKind::kLabel, "メッセージ", 7, 47, 31, 8},
    {IDC_LOG, ControlKind::kMultiLineEdit, "", 7, 58, 209, 125},
    {IDC_NONE, ControlKind::kLabel, "参加者リスト", 234, 47, 38, 8},
    {IDC_MEMBERS, ControlKind::kListView, "List1", 234, 58, 52, 125},
    {IDC_NONE, ControlKind::kLabel, "投稿メッセージ", 7, 205, 44, 8},
    {IDC_POST_TEXT, ControlKind::kLineEdit, "", 7, 218, 209, 13},
    {IDC_POST, ControlKind::kPushButton, "投　稿", 236, 218, 50, 14},
    {IDC_SPEAK, ControlKind::kPushButton, "発　言", 236, 199, 50, 14},
}};

// About box.
inline constexpr DialogTemplate kAboutDialog{"Tessikのﾊﾞｰｼﾞｮﾝ情報", 211, 55};
inline constexpr std::array<ControlTemplate, 4> kAboutDialogControls{{
    {IDI_PROGRAM, ControlKind::kIcon, "", 11, 17, 20, 20},
    {IDC_NONE, ControlKind::kLabel, "Tessik Version 1.0", 40, 10, 110, 8},
    {IDC_NONE, ControlKind::kLabel, "(C) 2025 Tessik team", 40, 25, 110, 8},
    {IDOK, ControlKind::kPushButton, "OK", 154, 7, 50, 14},
}};

// The face the dialogs are designed for, at 9 points.
inline constexpr std::string_view kDialogFontFamily = "IPAPGothic";
inline constexpr int kDialogFontPoints = 9;

// The dialog font: IPAPGothic when installed, otherwise the system's
// Japanese sans-serif face.
QFont DialogFont();
// True when the font has glyphs for every caption of both dialogs.
bool FontCoversCaptions(const QFont& font);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }
    int ToPixelsX(int units) const;
    int ToPixelsY(int units) const;
    QRect ToPixels(const ControlTemplate& control) const;
    QSize ToPixels(const DialogTemplate& dialog) const;

private:
    int baseX_;
    int baseY_;
};

}  // namespace tessik
