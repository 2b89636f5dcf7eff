#include "client/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "client/dialog_layout.h"
#include "client/icons.h"

using namespace tessik;

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName(QString::number(IDD_ABOUTBOX));
    setWindowTitle(QString::fromUtf8(kAboutDialog.caption.data(),
                                     static_cast<qsizetype>(kAboutDialog.caption.size())));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    DialogUnits units(font());
    setFixedSize(units.ToPixels(kAboutDialog));

    for (const ControlTemplate& control : kAboutDialogControls) {
        QRect place = units.ToPixels(control);
        QString caption = QString::fromUtf8(control.caption.data(), static_cast<qsizetype>(control.caption.size()));
        switch (control.kind) {
            case ControlKind::kIcon: {
                auto* label = new QLabel(this);
                label->setObjectName(QString::number(control.id));
                // The icon keeps its 32 pixels, as icon controls do.
                label->setPixmap(LoadIcon(IDI_PROGRAM).pixmap(32, 32));
                label->setGeometry(QRect(place.topLeft(), QSize(32, 32)));
                break;
            }
            case ControlKind::kLabel: {
                auto* label = new QLabel(caption, this);
                label->setObjectName(caption);
                label->setGeometry(place);
                break;
            }
            case ControlKind::kPushButton: {
                auto* button = new QPushButton(caption, this);
                button->setObjectName(QString::number(control.id));
                button->setGeometry(place);
                button->setDefault(true);
                connect(button, &QPushButton::clicked, this, &QDialog::accept);
                break;
            }
            default:
                break;
        }
    }
}
