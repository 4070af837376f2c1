// The About dialog: icon, version and notice lines, and an OK button.
#ifndef OSTREL_ABOUT_DIALOG_H
#define OSTREL_ABOUT_DIALOG_H

#include <QDialog>

class QLabel;
class QPushButton;

namespace ostrel {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);

  QPushButton* okButton() const { return okButton_; }

 private:
  QPushButton* okButton_ = nullptr;
};

}  // namespace ostrel

#endif  // OSTREL_ABOUT_DIALOG_H
