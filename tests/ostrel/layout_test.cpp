// The dialogs' geometry, captions, ids and font, and their screenshots.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <cmath>

#include "ostrel/gui_support.h"
#include "testapp/about_dialog.h"
#include "testapp/app_icon.h"
#include "testapp/ostrel_dialog.h"

namespace tavro::test {
namespace {

// Dialog units to pixels, worked out here from the font metrics on their own.
struct Expected {
  explicit Expected(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX = static_cast<int>(std::floor(metrics.horizontalAdvance(letters) / 52.0 + 0.5));
    baseY = metrics.height();
  }
  int x(int du) const { return static_cast<int>(std::floor(du * baseX / 4.0 + 0.5)); }
  int y(int du) const { return static_cast<int>(std::floor(du * baseY / 8.0 + 0.5)); }
  QRect rect(int left, int top, int width, int height) const {
    return QRect(x(left), y(top), x(width), y(height));
  }
  int baseX = 0;
  int baseY = 0;
};

QPushButton* buttonWithId(QWidget* dialog, int id) {
  for (auto* button : dialog->findChildren<QPushButton*>()) {
    if (button->property("controlId").toInt() == id) return button;
  }
  return nullptr;
}

TEST(OstrelLayout, DialogFontIsANineFoundSongFaceThatHasTheChineseTexts) {
  ostrel::OstrelDialog dialog;
  const QFont font = dialog.font();
  EXPECT_EQ(font.pointSize(), 9);
  const QString family = QFontInfo(font).family();
  EXPECT_TRUE(family.contains(QStringLiteral("Ming")) || family.contains(QStringLiteral("Sun")) ||
              family.contains(QStringLiteral("宋")) || family.contains(QStringLiteral("Serif")))
      << family.toStdString();
  const QFontMetrics metrics(font);
  for (QChar c : QStringLiteral("信号测试停止取消关于确定版没有连接好")) {
    EXPECT_TRUE(metrics.inFont(c))
        << "no glyph for U+" << std::hex << static_cast<int>(c.unicode());
  }
}

TEST(OstrelLayout, MainDialogControlsSitWhereTheirDialogUnitsSay) {
  ostrel::OstrelDialog dialog;
  const Expected px(dialog.font());
  ASSERT_GT(px.baseX, 0);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Ostrel"));
  EXPECT_EQ(dialog.size(), QSize(px.x(209), px.y(49)));

  struct Control {
    int id;
    const char* caption;
    QRect rect;
  };
  const Control controls[] = {
      {2, "取消", px.rect(155, 29, 50, 14)},
      {57664, "关于", px.rect(155, 9, 50, 14)},
      {1003, "信号测试", px.rect(12, 9, 128, 28)},
  };
  QPushButton* previous = nullptr;
  for (const Control& control : controls) {
    QPushButton* button = buttonWithId(&dialog, control.id);
    ASSERT_NE(button, nullptr) << control.id;
    EXPECT_EQ(button->text(), QString::fromUtf8(control.caption)) << control.id;
    EXPECT_EQ(button->geometry(), control.rect) << control.id;
    EXPECT_TRUE(button->focusPolicy() & Qt::TabFocus) << control.id;
    if (previous) {
      EXPECT_EQ(previous->nextInFocusChain(), button) << "tab order at " << control.id;
    }
    previous = button;
  }
  QPushButton* toggle = buttonWithId(&dialog, 1003);
  EXPECT_TRUE(toggle->isCheckable());
  EXPECT_FALSE(toggle->isChecked());
}

TEST(OstrelLayout, AboutDialogLinesIconAndOkSitWhereTheirDialogUnitsSay) {
  ostrel::AboutDialog about;
  const Expected px(about.font());
  EXPECT_EQ(about.windowTitle(), QStringLiteral("关于 Ostrel"));
  EXPECT_EQ(about.size(), QSize(px.x(269), px.y(75)));

  QPushButton* ok = buttonWithId(&about, 1);
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), QStringLiteral("确定"));
  EXPECT_TRUE(ok->isDefault());
  EXPECT_EQ(ok->geometry(), px.rect(212, 54, 50, 14));

  auto* icon = about.findChild<QLabel*>(QStringLiteral("aboutIcon"));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->geometry(), QRect(px.x(11), px.y(17), 32, 32));
  EXPECT_FALSE(icon->pixmap().isNull());

  auto* version = about.findChild<QLabel*>(QStringLiteral("versionLine"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->text(), QStringLiteral("Ostrel 1.0 版"));
  EXPECT_EQ(version->geometry(), px.rect(40, 10, 119, 8));
  const struct {
    const char* name;
    QRect rect;
  } lines[] = {{"noticeLine", px.rect(40, 25, 210, 8)},
               {"emptyLine", px.rect(40, 40, 197, 8)},
               {"secondNoticeLine", px.rect(40, 55, 138, 8)}};
  for (const auto& line : lines) {
    auto* label = about.findChild<QLabel*>(QString::fromLatin1(line.name));
    ASSERT_NE(label, nullptr) << line.name;
    EXPECT_EQ(label->geometry(), line.rect) << line.name;
    // Each line must fit its control, or part of it would be cut off.
    EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()), line.rect.width())
        << line.name;
  }
}

TEST(OstrelLayout, IconHasBothSizesOnBothDialogs) {
  EXPECT_EQ(ostrel::largeIcon().size(), QSize(32, 32));
  EXPECT_EQ(ostrel::smallIcon().size(), QSize(16, 16));
  ostrel::OstrelDialog dialog;
  ostrel::AboutDialog about;
  for (QWidget* window : {static_cast<QWidget*>(&dialog), static_cast<QWidget*>(&about)}) {
    const QList<QSize> sizes = window->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)));
  }
}

TEST(OstrelLayout, ScreenshotsOfBothDialogs) {
  ostrel::OstrelDialog dialog;
  dialog.show();
  ASSERT_TRUE(eventuallyGui([&] { return dialog.isVisible(); }));
  const QImage main(saveScreenshot(&dialog, QStringLiteral("ostrel-main.png")));
  EXPECT_EQ(main.size(), dialog.size() * dialog.devicePixelRatio());

  ostrel::AboutDialog about(&dialog);
  about.show();
  ASSERT_TRUE(eventuallyGui([&] { return about.isVisible(); }));
  const QImage image(saveScreenshot(&about, QStringLiteral("ostrel-about.png")));
  EXPECT_EQ(image.size(), about.size() * about.devicePixelRatio());
}

}  // namespace
}  // namespace tavro::test
