#include "testapp/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "testapp/app_icon.h"
#include "testapp/dialog_units.h"
#include "testapp/layout.h"
#include "testapp/texts.h"

namespace ostrel {

namespace {

QLabel* addText(QWidget* parent, const DialogUnits& units, const QString& text, int x, int y,
                int width, int height) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  placeControl(label, units, x, y, width, height);
  return label;
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutDialog"));
  setWindowTitle(aboutTitle());
  setWindowIcon(appIcon());
  setWindowFlags(kDialogWindowFlags);
  setFont(dialogFont());
  const DialogUnits units = DialogUnits::forFont(font());
  setFixedSize(units.toPixels(269, 75));

  // An icon control keeps the icon's own size; only its position comes from the template.
  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("aboutIcon"));
  icon->setPixmap(largeIcon());
  icon->setProperty(kDialogRectProperty, QRect(11, 17, 20, 20));
  icon->setGeometry(QRect(QPoint(units.toPixelsX(11), units.toPixelsY(17)),
                          QSize(kLargeIconSize, kLargeIconSize)));

  addText(this, units, aboutVersionLine(), 40, 10, 119, 8)->setObjectName("versionLine");
  addText(this, units, aboutNoticeLine(), 40, 25, 210, 8)->setObjectName("noticeLine");
  okButton_ = new QPushButton(okCaption(), this);
  okButton_->setObjectName(QStringLiteral("okButton"));
  okButton_->setProperty(kControlIdProperty, 1);
  okButton_->setDefault(true);
  placeControl(okButton_, units, 212, 54, 50, 14);
  addText(this, units, QString(), 40, 40, 197, 8)->setObjectName("emptyLine");
  addText(this, units, aboutSecondNoticeLine(), 40, 55, 138, 8)->setObjectName("secondNoticeLine");

  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
  okButton_->setFocus();
}

}  // namespace ostrel
