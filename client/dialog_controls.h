// The controls of a dialog made from its template: each becomes the widget
// of its kind, at its place, named by its id, in the template's (tab) order.
#pragma once

#include <span>

#include "client/dialog_layout.h"

class QObject;
class QWidget;

namespace tessik {

// Creates the controls as children of parent; filter watches every one of
// them (the dialog routes Enter itself). Icons are left to their dialog.
void CreateControls(QWidget* parent, std::span<const ControlTemplate> controls, const DialogUnits& units,
                    QObject* filter);

}  // namespace tessik
