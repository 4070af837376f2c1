// Placing controls by dialog units, and what both dialogs share.
#ifndef OSTREL_LAYOUT_H
#define OSTREL_LAYOUT_H

#include <QWidget>

#include "testapp/dialog_units.h"

namespace ostrel {

// A pop-up with caption, system menu and modal frame: no minimise, maximise or help buttons.
inline constexpr Qt::WindowFlags kDialogWindowFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint;

// Properties that each control carries: its id and its rectangle in dialog units.
inline constexpr char kControlIdProperty[] = "controlId";
inline constexpr char kDialogRectProperty[] = "dialogRect";

inline void placeControl(QWidget* control, const DialogUnits& units, int x, int y, int width,
                         int height) {
  control->setProperty(kDialogRectProperty, QRect(x, y, width, height));
  control->setGeometry(units.toPixels(x, y, width, height));
}

}  // namespace ostrel

#endif  // OSTREL_LAYOUT_H
