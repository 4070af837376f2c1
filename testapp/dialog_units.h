// Dialog units: the dialogs are laid out the way Windows lays out dialog templates, in
// units derived from the dialog font, so that they keep their proportions with any font.
// One horizontal unit is a quarter of the font's average character width, one vertical
// unit an eighth of its height.
#ifndef OSTREL_DIALOG_UNITS_H
#define OSTREL_DIALOG_UNITS_H

#include <QFont>
#include <QRect>
#include <QSize>

namespace ostrel {

// The dialog font: "宋体" 9 point, or the closest Song-style CJK font installed.
QFont dialogFont();

class DialogUnits {
 public:
  DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}
  // Base units of a font: the average width of the 52 Latin letters and the font height.
  static DialogUnits forFont(const QFont& font);

  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }

  // Each value is converted on its own and rounded to the nearest pixel.
  int toPixelsX(int du) const;
  int toPixelsY(int du) const;
  QRect toPixels(int x, int y, int width, int height) const;
  QSize toPixels(int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace ostrel

#endif  // OSTREL_DIALOG_UNITS_H
