// Shows the library's notices as message boxes with an OK button.
//
// The library raises a notice on whichever thread meets the condition and expects that
// thread to wait until the user has closed the box. A notice from a worker thread is
// shown on the GUI thread, without blocking it, while only the worker waits; a notice
// raised on the GUI thread itself is shown modally there. No worker thread touches a
// widget.
//
// Shutting down (before the GUI thread destroys the library object, which waits for its
// worker threads) closes the open boxes and releases their workers, and every later
// notice returns at once, so that the stop can never wait on the GUI thread.
#ifndef OSTREL_NOTICE_BRIDGE_H
#define OSTREL_NOTICE_BRIDGE_H

#include <QList>
#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tavro/notice.h"

class QMessageBox;

namespace ostrel {

class NoticeBridge : public QObject {
  Q_OBJECT

 public:
  // Create on the GUI thread; installs itself as the library's notice handler.
  explicit NoticeBridge(QObject* parent = nullptr);
  // Releases every waiting worker and restores the previous handler.
  ~NoticeBridge() override;

  // The handler: returns once the user has closed the box, or at once when shutting down.
  void showNotice(const std::string& text);

  // GUI thread: closes the open boxes, releases their workers; later notices return at once.
  void shutDown();
  bool shuttingDown() const;

  // The boxes shown for worker threads and still open.
  QList<QMessageBox*> openBoxes() const;

 signals:
  void boxShown(QMessageBox* box);

 private:
  struct Waiter {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    void release();
  };

  void showForWorker(const std::shared_ptr<Waiter>& waiter, const QString& text);

  mutable std::mutex mutex_;
  bool shuttingDown_ = false;
  std::vector<std::shared_ptr<Waiter>> waiters_;
  QList<QPointer<QMessageBox>> boxes_;  // GUI thread only
  tavro::NoticeHandler previous_;
};

}  // namespace ostrel

#endif  // OSTREL_NOTICE_BRIDGE_H
