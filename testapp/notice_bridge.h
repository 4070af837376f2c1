// Shows the library's notices as message boxes with an OK button.
//
// The library hands its notices to a thread of its own, which waits until the user has
// closed the box. The box is shown on the GUI thread, without blocking it; no other thread
// touches a widget.
//
// When the program ends, whichever way (the dialog closes, an end signal, the application
// quits, a lost display makes it exit), every thread waiting for a notice is released at
// once and every later notice returns at once, so that nothing waits on a GUI that is gone.
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
  // Releases every waiting thread and restores the previous handler.
  ~NoticeBridge() override;

  // The handler: returns once the user has closed the box, or at once when shutting down.
  // On the GUI thread itself it shows the box and returns at once.
  void showNotice(const std::string& text);

  // GUI thread: closes the open boxes, releases their threads; later notices return at once.
  void shutDown();
  // Any thread: releases the waiting threads, leaving the boxes to the GUI thread.
  void release();
  bool shuttingDown() const;

  // The threads waiting until their box is closed, and not yet released.
  size_t waiting() const;

  // The boxes shown and still open.
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

  void showBox(const std::shared_ptr<Waiter>& waiter, const QString& text);

  mutable std::mutex mutex_;
  bool shuttingDown_ = false;
  std::vector<std::shared_ptr<Waiter>> waiters_;
  QList<QPointer<QMessageBox>> boxes_;  // GUI thread only
  tavro::NoticeHandler previous_;
};

}  // namespace ostrel

#endif  // OSTREL_NOTICE_BRIDGE_H
