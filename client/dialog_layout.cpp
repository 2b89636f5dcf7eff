#include "client/dialog_layout.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QList>
#include <QString>
#include <QStringList>

namespace tessik {
namespace {

QString ToQString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Rounds like the classic multiply-then-divide helper: to the nearest pixel.
int ScaleRounded(int value, int numerator, int denominator) {
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

template <size_t N>
bool Covers(const QFontMetrics& metrics, const std::array<ControlTemplate, N>& controls) {
    for (const ControlTemplate& control : controls) {
        for (char32_t c : ToQString(control.caption).toUcs4()) {
            if (c != U' ' && !metrics.inFontUcs4(c)) return false;
        }
    }
    return true;
}

}  // namespace

QFont DialogFont() {
    QFont font(ToQString(kDialogFontFamily), kDialogFontPoints);
    if (QFontInfo(font).family() == ToQString(kDialogFontFamily)) return font;
    // Without the IPA face: a proportional Japanese gothic face, any Japanese
    // face after that.
    const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
    QString chosen;
    for (const QString& family : japanese) {
        if (QFontDatabase::isFixedPitch(family)) continue;
        if (family.contains(QLatin1String("Gothic"), Qt::CaseInsensitive) ||
            family.contains(QLatin1String("Sans"), Qt::CaseInsensitive)) {
            chosen = family;
            break;
        }
    }
    if (chosen.isEmpty() && !japanese.isEmpty()) chosen = japanese.first();
    if (!chosen.isEmpty()) font.setFamily(chosen);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

bool FontCoversCaptions(const QFont& font) {
    QFontMetrics metrics(font);
    return Covers(metrics, kMainDialogControls) && Covers(metrics, kAboutDialogControls) &&
           Covers(metrics, std::array<ControlTemplate, 2>{{
                               {IDC_NONE, ControlKind::kLabel, kMainDialog.caption, 0, 0, 0, 0},
                               {IDC_NONE, ControlKind::kLabel, kAboutDialog.caption, 0, 0, 0, 0},
                           }});
}

DialogUnits::DialogUnits(const QFont& font) {
    // The average width of the Latin letters, rounded the way dialog
    // templates round it, and the full character height.
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (letters / 26 + 1) / 2;
    baseY_ = metrics.height();
    if (baseX_ < 1) baseX_ = 1;
    if (baseY_ < 1) baseY_ = 1;
}

int DialogUnits::ToPixelsX(int units) const { return ScaleRounded(units, baseX_, 4); }

int DialogUnits::ToPixelsY(int units) const { return ScaleRounded(units, baseY_, 8); }

QRect DialogUnits::ToPixels(const ControlTemplate& control) const {
    return QRect(ToPixelsX(control.x), ToPixelsY(control.y), ToPixelsX(control.width),
                 ToPixelsY(control.height));
}

QSize DialogUnits::ToPixels(const DialogTemplate& dialog) const {
    return QSize(ToPixelsX(dialog.width), ToPixelsY(dialog.height));
}

}  // namespace tessik
