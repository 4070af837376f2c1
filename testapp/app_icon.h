// The application icon: a telephone handset over a line signal, 32 x 32 and 16 x 16.
#ifndef OSTREL_APP_ICON_H
#define OSTREL_APP_ICON_H

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace ostrel {

inline constexpr int kLargeIconSize = 32;
inline constexpr int kSmallIconSize = 16;

QIcon appIcon();
QPixmap largeIcon();
QPixmap smallIcon();

// Where a minimised window draws its icon: centred in the client area, rounding as the
// Windows sample code does.
QPoint minimisedIconOrigin(QSize client, QSize icon);

}  // namespace ostrel

#endif  // OSTREL_APP_ICON_H
