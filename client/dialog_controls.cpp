#include "client/dialog_controls.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include <limits>
#include <string_view>

namespace tessik {
namespace {

QString ToQString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

void CreateControls(QWidget* parent, std::span<const ControlTemplate> controls, const DialogUnits& units,
                    QObject* filter) {
    for (const ControlTemplate& control : controls) {
        const QString caption = ToQString(control.caption);
        QWidget* widget = nullptr;
        switch (control.kind) {
            case ControlKind::kLabel: {
                auto* label = new QLabel(caption, parent);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setObjectName(caption);
                widget = label;
                break;
            }
            case ControlKind::kLineEdit: {
                auto* edit = new QLineEdit(parent);
                edit->setMaxLength(std::numeric_limits<int>::max());
                widget = edit;
                break;
            }
            case ControlKind::kMultiLineEdit: {
                auto* edit = new QPlainTextEdit(parent);
                edit->setLineWrapMode(QPlainTextEdit::NoWrap);
                edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
                edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                edit->setTabChangesFocus(true);
                // The program only appends; an undo history would keep a
                // second copy of the whole session's log.
                edit->setUndoRedoEnabled(false);
                widget = edit;
                break;
            }
            case ControlKind::kPushButton: {
                auto* button = new QPushButton(caption, parent);
                // Enter is routed by the dialog; no button is pressed by it.
                button->setAutoDefault(false);
                button->setDefault(false);
                widget = button;
                break;
            }
            case ControlKind::kListView: {
                auto* list = new QListWidget(parent);
                list->setViewMode(QListView::ListMode);
                list->setSelectionMode(QAbstractItemView::SingleSelection);
                list->setAccessibleName(caption);
                widget = list;
                break;
            }
            case ControlKind::kIcon:
                break;
        }
        if (!widget) continue;
        if (control.id != IDC_NONE) widget->setObjectName(QString::number(control.id));
        widget->setGeometry(units.ToPixels(control));
        widget->installEventFilter(filter);
    }
}

}  // namespace tessik
