#include "testapp/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace ostrel {

namespace {

// a * b / c rounded half away from zero, as the Windows dialog manager computes it.
int mulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

QFont dialogFont() {
  // Song (Ming) style faces, the first one installed wins.
  static const char* const kSongFaces[] = {
      "宋体",
      "SimSun",
      "NSimSun",
      "AR PL UMing CN",
      "AR PL UMing TW",
      "AR PL UMing HK",
      "AR PL SungtiL GB",
      "AR PL New Sung",
      "Noto Serif CJK SC",
      "Source Han Serif SC",
      "Noto Serif SC",
  };
  const QStringList installed = QFontDatabase::families();
  QFont font;
  for (const char* face : kSongFaces) {
    const QString name = QString::fromUtf8(face);
    if (installed.contains(name)) {
      font = QFont(name);
      break;
    }
  }
  font.setPointSize(9);
  return font;
}

DialogUnits DialogUnits::forFont(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // The average of the 52 letters, rounded.
  return DialogUnits((width / 26 + 1) / 2, metrics.height());
}

int DialogUnits::toPixelsX(int du) const {
  return mulDiv(du, baseX_, 4);
}
int DialogUnits::toPixelsY(int du) const {
  return mulDiv(du, baseY_, 8);
}

QRect DialogUnits::toPixels(int x, int y, int width, int height) const {
  return QRect(toPixelsX(x), toPixelsY(y), toPixelsX(width), toPixelsY(height));
}

QSize DialogUnits::toPixels(int width, int height) const {
  return QSize(toPixelsX(width), toPixelsY(height));
}

}  // namespace ostrel
