#include "testapp/notice_bridge.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <cstdlib>
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

// The live bridges, for the release at process exit: Qt ends the program with exit() when
// it loses its display, and no destructor runs then. Never destroyed, for the same reason.
struct Bridges {
  std::mutex mutex;
  std::vector<NoticeBridge*> live;
};

Bridges& bridges() {
  static Bridges* const all = new Bridges;
  return *all;
}

void releaseAtExit() {
  Bridges& b = bridges();
  std::lock_guard<std::mutex> lock(b.mutex);
  for (NoticeBridge* bridge : b.live) bridge->release();
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
  {
    static const bool registered = std::atexit(releaseAtExit) == 0;
    (void)registered;
    Bridges& b = bridges();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.live.push_back(this);
  }
  if (QCoreApplication* app = QCoreApplication::instance()) {
    connect(app, &QCoreApplication::aboutToQuit, this, &NoticeBridge::shutDown);
    connect(app, &QObject::destroyed, this, [this] { release(); });
  }
  previous_ = tavro::setNoticeHandler([this](const std::string& text) { showNotice(text); });
}

NoticeBridge::~NoticeBridge() {
  {
    Bridges& b = bridges();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.live.erase(std::remove(b.live.begin(), b.live.end(), this), b.live.end());
  }
  // Released first: restoring the handler waits until the running call of ours returns.
  shutDown();
  tavro::setNoticeHandler(std::move(previous_));
}

bool NoticeBridge::shuttingDown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shuttingDown_;
}

size_t NoticeBridge::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_.size();
}

void NoticeBridge::showNotice(const std::string& text) {
  const QString message = QString::fromStdString(text);
  auto waiter = std::make_shared<Waiter>();
  if (QThread::currentThread() == thread()) {
    // Waiting here would stop the GUI that shows the box.
    if (!shuttingDown()) showBox(waiter, message);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shuttingDown_) return;
    waiters_.push_back(waiter);
  }
  QMetaObject::invokeMethod(
      this, [this, waiter, message] { showBox(waiter, message); }, Qt::QueuedConnection);
  {
    std::unique_lock<std::mutex> lock(waiter->mutex);
    waiter->answered.wait(lock, [&] { return waiter->done; });
  }
  std::lock_guard<std::mutex> lock(mutex_);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

void NoticeBridge::showBox(const std::shared_ptr<Waiter>& waiter, const QString& text) {
  {
    std::lock_guard<std::mutex> lock(waiter->mutex);
    if (waiter->done) return;  // released by the shutdown before the box could open
  }
  QMessageBox* box = makeBox(text);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Not modal: the rest of the program goes on while the notice waits for its answer.
  box->setWindowModality(Qt::NonModal);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  connect(box, &QMessageBox::finished, this, [waiter] { waiter->release(); });
  connect(box, &QObject::destroyed, this, [waiter] { waiter->release(); });
  boxes_.removeIf([](const QPointer<QMessageBox>& open) { return open.isNull(); });
  boxes_.append(box);
  emit boxShown(box);
  box->show();
}

void NoticeBridge::release() {
  std::vector<std::shared_ptr<Waiter>> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shuttingDown_ = true;
    waiting = std::exchange(waiters_, {});
  }
  for (const auto& waiter : waiting) waiter->release();
}

void NoticeBridge::shutDown() {
  release();
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
