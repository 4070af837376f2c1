// The library's notices as message boxes: they wait for OK on their own thread, and nothing
// waits for them once the program ends.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <thread>

#include "ostrel/gui_support.h"
#include "platform/platform.h"
#include "testapp/notice_bridge.h"

namespace tavro::test {
namespace {

constexpr auto kDelivered = std::chrono::seconds(20);

TEST(OstrelNotices, TheNoticeWaitsForOkWhileTheRaiserAndTheGuiThreadGoOn) {
  ostrel::NoticeBridge bridge;
  std::thread([] { platform::showNotice("Receive Error!"); }).join();  // returns at once

  ASSERT_TRUE(eventuallyGui([&] { return bridge.openBoxes().size() == 1; }));
  QMessageBox* box = bridge.openBoxes().front();
  EXPECT_EQ(box->text(), QStringLiteral("Receive Error!"));
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Ostrel"));
  EXPECT_FALSE(box->isModal());
  ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
  // The GUI thread keeps handling events while the notice waits.
  bool timerRan = false;
  QTimer::singleShot(0, [&] { timerRan = true; });
  EXPECT_TRUE(eventuallyGui([&] { return timerRan; }));
  EXPECT_EQ(bridge.waiting(), 1u);
  EXPECT_FALSE(platform::awaitNoticesDelivered(std::chrono::milliseconds(0)));

  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(platform::awaitNoticesDelivered(kDelivered));
  EXPECT_EQ(bridge.waiting(), 0u);
}

TEST(OstrelNotices, ShutDownReleasesTheWaitingNoticeAndLaterOnesReturnAtOnce) {
  ostrel::NoticeBridge bridge;
  platform::showNotice("NoUsed 0x02");
  ASSERT_TRUE(eventuallyGui([&] { return bridge.openBoxes().size() == 1; }));
  platform::showNotice("In StopReadSound Error!");  // waits behind the one shown

  // The GUI thread now blocks, as it does while it destroys the library object.
  bridge.shutDown();
  EXPECT_TRUE(platform::awaitNoticesDelivered(kDelivered));
  EXPECT_EQ(bridge.waiting(), 0u);
  EXPECT_TRUE(bridge.openBoxes().isEmpty());
  platform::showNotice("late");
  EXPECT_TRUE(platform::awaitNoticesDelivered(kDelivered));
  QCoreApplication::processEvents();
  EXPECT_TRUE(bridge.openBoxes().isEmpty());
}

TEST(OstrelNotices, QuittingTheApplicationReleasesTheWaitingNotice) {
  ostrel::NoticeBridge bridge;
  platform::showNotice("NoUsed 0x02");
  ASSERT_TRUE(
      eventuallyGui([&] { return bridge.waiting() == 1 && !bridge.openBoxes().isEmpty(); }));

  QTimer::singleShot(0, qApp, &QCoreApplication::quit);
  QCoreApplication::exec();
  EXPECT_EQ(bridge.waiting(), 0u);
  EXPECT_TRUE(platform::awaitNoticesDelivered(kDelivered));
}

TEST(OstrelNotices, ANoticeRaisedOnTheGuiThreadNeverBlocksIt) {
  ostrel::NoticeBridge bridge;
  platform::showNotice("In StopReadSound Error!");
  ASSERT_TRUE(eventuallyGui([&] { return bridge.openBoxes().size() == 1; }));
  EXPECT_EQ(bridge.openBoxes().front()->text(), QStringLiteral("In StopReadSound Error!"));
  // Called straight on the GUI thread, the handler shows its box and returns.
  bridge.showNotice("Receive Error!");
  EXPECT_EQ(bridge.openBoxes().size(), 2);
  bridge.shutDown();
  EXPECT_TRUE(platform::awaitNoticesDelivered(kDelivered));
}

TEST(OstrelNotices, RemovingTheBridgeRestoresThePreviousHandler) {
  std::string seen;
  auto previous = setNoticeHandler([&](const std::string& text) { seen = text; });
  { ostrel::NoticeBridge bridge; }
  platform::showNotice("after");
  ASSERT_TRUE(platform::awaitNoticesDelivered(kDelivered));
  EXPECT_EQ(seen, "after");
  setNoticeHandler(std::move(previous));
}

}  // namespace
}  // namespace tavro::test
