#include "testapp/notice_bridge.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <utility>

#include "testapp/app_icon.h"
#include "testapp/texts.h"

namespace ostrel {

namespace {

QMessageBox* makeBox(const QString& text) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, programTitle(), text, QMessageBox::Ok);
  box->setWindowIcon(appIcon());
  return box;
}

}  // namespace

void NoticeBridge::Waiter::release() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  answered.notify_all();
}

NoticeBridge::NoticeBridge(QObject* parent) : QObject(parent) {
  previous_ = tavro::setNoticeHandler([this](const std::string& text) { showNotice(text); });
}

NoticeBridge::~NoticeBridge() {
  tavro::setNoticeHandler(std::move(previous_));
  shutDown();
}

bool NoticeBridge::shuttingDown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shuttingDown_;
}

void NoticeBridge::showNotice(const std::string& text) {
  const QString message = QString::fromStdString(text);
  if (QThread::currentThread() == thread()) {
    if (shuttingDown()) return;
    // The GUI thread itself waits, as for any modal message box.
    std::unique_ptr<QMessageBox> box(makeBox(message));
    emit boxShown(box.get());
    box->exec();
    return;
  }

  auto waiter = std::make_shared<Waiter>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shuttingDown_) return;
    waiters_.push_back(waiter);
  }
  QMetaObject::invokeMethod(
      this, [this, waiter, message] { showForWorker(waiter, message); }, Qt::QueuedConnection);
  {
    std::unique_lock<std::mutex> lock(waiter->mutex);
    waiter->answered.wait(lock, [&] { return waiter->done; });
  }
  std::lock_guard<std::mutex> lock(mutex_);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

void NoticeBridge::showForWorker(const std::shared_ptr<Waiter>& waiter, const QString& text) {
  {
    std::lock_guard<std::mutex> lock(waiter->mutex);
    if (waiter->done) return;  // released by the shutdown before the box could open
  }
  QMessageBox* box = makeBox(text);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Not modal: the rest of the program goes on while the worker waits for the answer.
  box->setWindowModality(Qt::NonModal);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  connect(box, &QMessageBox::finished, this, [waiter] { waiter->release(); });
  connect(box, &QObject::destroyed, this, [waiter] { waiter->release(); });
  boxes_.removeIf([](const QPointer<QMessageBox>& open) { return open.isNull(); });
  boxes_.append(box);
  emit boxShown(box);
  box->show();
}

void NoticeBridge::shutDown() {
  std::vector<std::shared_ptr<Waiter>> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shuttingDown_ = true;
    waiting = waiters_;
  }
  for (const auto& waiter : waiting) waiter->release();
  const QList<QPointer<QMessageBox>> boxes = std::exchange(boxes_, {});
  for (const QPointer<QMessageBox>& box : boxes) {
    if (box) box->close();
  }
}

QList<QMessageBox*> NoticeBridge::openBoxes() const {
  QList<QMessageBox*> open;
  for (const QPointer<QMessageBox>& box : boxes_) {
    if (box && box->isVisible()) open.append(box);
  }
  return open;
}

}  // namespace ostrel
