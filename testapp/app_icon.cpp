#include "testapp/app_icon.h"

#include <QPoint>

namespace {
// The images are XPM sources: C arrays with a 16-colour palette.
#include "testapp/ostrel-16.xpm"
#include "testapp/ostrel-32.xpm"
}  // namespace

namespace ostrel {

QPixmap largeIcon() {
  return QPixmap(ostrel_32_xpm);
}
QPixmap smallIcon() {
  return QPixmap(ostrel_16_xpm);
}

QIcon appIcon() {
  QIcon icon;
  icon.addPixmap(largeIcon());
  icon.addPixmap(smallIcon());
  return icon;
}

QPoint minimisedIconOrigin(QSize client, QSize icon) {
  return QPoint((client.width() - icon.width() + 1) / 2, (client.height() - icon.height() + 1) / 2);
}

}  // namespace ostrel
