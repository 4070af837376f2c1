// The library's notices as message boxes: only the thread that raised one waits for it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>

#include "ostrel/gui_support.h"
#include "platform/platform.h"
#include "testapp/notice_bridge.h"

namespace tavro::test {
namespace {

TEST(OstrelNotices, WorkerWaitsForOkWhileTheGuiThreadGoesOn) {
  ostrel::NoticeBridge bridge;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    platform::showNotice("Receive Error!");
    returned = true;
  });

  ASSERT_TRUE(eventuallyGui([&] { return bridge.openBoxes().size() == 1; }));
  QMessageBox* box = bridge.openBoxes().front();
  EXPECT_EQ(box->text(), QStringLiteral("Receive Error!"));
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Ostrel"));
  EXPECT_FALSE(box->isModal());
  ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
  // The GUI thread keeps handling events while the worker waits.
  bool timerRan = false;
  QTimer::singleShot(0, [&] { timerRan = true; });
  EXPECT_TRUE(eventuallyGui([&] { return timerRan; }));
  EXPECT_FALSE(returned);

  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(eventuallyGui([&] { return returned.load(); }));
  worker.join();
}

TEST(OstrelNotices, ShutDownReleasesWaitingWorkersAndLaterNoticesReturnAtOnce) {
  ostrel::NoticeBridge bridge;
  std::atomic<int> returned{0};
  std::thread shown([&] {
    platform::showNotice("NoUsed 0x02");
    ++returned;
  });
  ASSERT_TRUE(eventuallyGui([&] { return bridge.openBoxes().size() == 1; }));
  // This one is queued for the GUI thread, which does not look at it before the shutdown.
  std::thread queued([&] {
    platform::showNotice("In StopReadSound Error!");
    ++returned;
  });

  // The GUI thread now blocks, as it does while it destroys the library object.
  bridge.shutDown();
  shown.join();
  queued.join();
  EXPECT_EQ(returned, 2);
  EXPECT_TRUE(bridge.openBoxes().isEmpty());
  platform::showNotice("late");  // returns at once, on the GUI thread too
  std::thread([] { platform::showNotice("late"); }).join();
}

TEST(OstrelNotices, NoticeOnTheGuiThreadIsModalThere) {
  ostrel::NoticeBridge bridge;
  ModalAnswer answer([](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("In StopReadSound Error!"));
    box->button(QMessageBox::Ok)->click();
  });
  platform::showNotice("In StopReadSound Error!");
  EXPECT_TRUE(answer.answered());
}

TEST(OstrelNotices, RemovingTheBridgeRestoresThePreviousHandler) {
  std::string seen;
  auto previous = setNoticeHandler([&](const std::string& text) { seen = text; });
  { ostrel::NoticeBridge bridge; }
  platform::showNotice("after");
  EXPECT_EQ(seen, "after");
  setNoticeHandler(std::move(previous));
}

}  // namespace
}  // namespace tavro::test
