#include "testapp/ostrel_dialog.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tavro/events.h"
#include "tavro/status.h"
#include "testapp/about_dialog.h"
#include "testapp/app_icon.h"
#include "testapp/dialog_units.h"
#include "testapp/layout.h"
#include "testapp/notice_bridge.h"
#include "testapp/texts.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_UNIX
#include <pthread.h>
#include <signal.h>
#endif

namespace ostrel {

namespace {

constexpr std::chrono::milliseconds kStatusPoll{100};
constexpr uint32_t kClearedAtStart = tavro::kCallerNumberBit | 0x10000;

}  // namespace

// Creates the library object on a thread of its own: the constructor waits for the box,
// and the GUI thread must stay free meanwhile to show the waiting window.
class LibraryStarter {
 public:
  LibraryStarter(LibraryFactory factory, std::function<void()> finished)
      : shared_(std::make_shared<Shared>()) {
    shared_->finished = std::move(finished);
    thread_ = std::thread([shared = shared_, factory = std::move(factory)] {
#ifdef Q_OS_UNIX
      // The library's threads start from here and inherit this: the end signals are for
      // the GUI thread.
      sigset_t endSignals;
      sigemptyset(&endSignals);
      sigaddset(&endSignals, SIGINT);
      sigaddset(&endSignals, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
#endif
      std::unique_ptr<CKusb_IO> library;
      try {
        library = factory ? factory() : std::make_unique<CKusb_IO>();
      } catch (...) {
        library.reset();  // treated as no box
      }
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->library = std::move(library);
      shared->done = true;
      shared->changed.notify_all();
      if (shared->finished) shared->finished();
    });
  }

  ~LibraryStarter() {
    if (thread_.joinable()) thread_.join();
  }

  bool finished() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->done;
  }

  bool waitFinished(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(lock, limit, [&] { return shared_->done; });
  }

  std::unique_ptr<CKusb_IO> take() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::move(shared_->library);
  }

  // Leaves a start that never returned behind; what it creates is destroyed by its thread.
  void abandon() {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->finished = nullptr;
    }
    thread_.detach();
  }

 private:
  struct Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::unique_ptr<CKusb_IO> library;
    std::function<void()> finished;  // called under the mutex; must not block
  };
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

OstrelDialog::OstrelDialog(OstrelOptions options) : options_(std::move(options)) {
  setObjectName(QStringLiteral("ostrelDialog"));
  setWindowTitle(programTitle());
  setWindowFlags(kDialogWindowFlags);
  setWindowIcon(appIcon());
  setFont(dialogFont());
  const DialogUnits units = DialogUnits::forFont(font());
  setFixedSize(units.toPixels(209, 49));

  // Created in tab order.
  cancel_ = new QPushButton(cancelCaption(), this);
  cancel_->setObjectName(QStringLiteral("cancelButton"));
  cancel_->setProperty(kControlIdProperty, kCancelId);
  placeControl(cancel_, units, 155, 29, 50, 14);

  about_ = new QPushButton(aboutCaption(), this);
  about_->setObjectName(QStringLiteral("aboutButton"));
  about_->setProperty(kControlIdProperty, kAboutId);
  placeControl(about_, units, 155, 9, 50, 14);

  // A check box that looks like a push button and stays down while checked.
  toggle_ = new QPushButton(startCaption(), this);
  toggle_->setObjectName(QStringLiteral("toggleButton"));
  toggle_->setProperty(kControlIdProperty, kToggleId);
  toggle_->setCheckable(true);
  placeControl(toggle_, units, 12, 9, 128, 28);

  for (QPushButton* button : {cancel_, about_, toggle_}) {
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(false);
  }
  setTabOrder(cancel_, about_);
  setTabOrder(about_, toggle_);

  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(about_, &QPushButton::clicked, this, &OstrelDialog::showAbout);
  connect(toggle_, &QPushButton::clicked, this, &OstrelDialog::onToggleClicked);

  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("systemMenu"));
  aboutAction_ = menu_->addAction(aboutMenuEntry());
  connect(aboutAction_, &QAction::triggered, this, [this] { systemCommand(kAboutCommand); });
}

OstrelDialog::~OstrelDialog() {
  shutDown();
}

int OstrelDialog::run() {
  if (!startUp()) {
    setResult(QDialog::Rejected);
    return QDialog::Rejected;
  }
  return exec();
}

bool OstrelDialog::startUp() {
#ifdef Q_OS_WIN
  // Windows offers the program the window's own system menu: the entry goes there.
  if (HMENU system = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE)) {
    const QString entry = aboutMenuEntry();
    if (!entry.isEmpty()) {
      AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(system, MF_STRING, kAboutCommand, reinterpret_cast<LPCWSTR>(entry.utf16()));
    }
  }
#endif
  if (!waitForLibrary()) return false;

  const uint32_t status = library_ ? library_->GetTelStatus() : tavro::kLinkDownBit;
  if (status & tavro::kLinkDownBit) {
    QMessageBox box(QMessageBox::NoIcon, programTitle(), noDeviceMessage(), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("noDeviceBox"));
    box.setWindowIcon(appIcon());
    box.exec();
    return false;
  }
  library_->SetTelStatus(status & ~kClearedAtStart);
  library_->SetDialPara(5, 5, 17);
  library_->SetNextCallDelay(150);
  // A recording that the library ends by itself (the link lost, the disk full) puts the
  // button back, as a stop does.
  const int events = tavro_events_fd(library_.get());
  if (events >= 0) {
    events_ = new QSocketNotifier(events, QSocketNotifier::Read, this);
    connect(events_, &QSocketNotifier::activated, this, &OstrelDialog::takeEvents);
  }

  testOn_ = false;
  toggle_->setChecked(testOn_);
  toggle_->setText(startCaption());
  return true;
}

bool OstrelDialog::waitForLibrary() {
  ready_ = false;
  cancelled_ = false;
  starter_ = std::make_unique<LibraryStarter>(options_.factory, [this] {
    QMetaObject::invokeMethod(this, &OstrelDialog::checkLibrary, Qt::QueuedConnection);
  });

  QEventLoop loop;
  waitLoop_ = &loop;
  QTimer poll;
  poll.setInterval(kStatusPoll);
  connect(&poll, &QTimer::timeout, this, &OstrelDialog::checkLibrary);
  poll.start();
  QTimer windowDelay;
  windowDelay.setSingleShot(true);
  connect(&windowDelay, &QTimer::timeout, this, &OstrelDialog::showWaitWindow);
  windowDelay.start(options_.waitWindowDelay);

  checkLibrary();
  if (!ready_ && !cancelled_) loop.exec();
  waitLoop_ = nullptr;
  if (waitWindow_) {
    waitWindow_->hide();
    waitWindow_->deleteLater();
    waitWindow_ = nullptr;
  }
  return ready_;
}

void OstrelDialog::checkLibrary() {
  if (!waitLoop_ || ready_ || cancelled_ || !starter_->finished()) return;
  if (!library_) library_ = starter_->take();
  // Ready when the reader is ready, and then the library initialised. Without an object
  // there is nothing to wait for: it is reported as a missing box.
  const bool ready = !library_ || ((library_->GetTelStatus() & tavro::kReaderReadyBit) &&
                                   (library_->GetTelStatus() & tavro::kInitialisedBit));
  if (ready) {
    ready_ = true;
    waitLoop_->quit();
  }
}

void OstrelDialog::showWaitWindow() {
  if (!waitLoop_ || ready_ || cancelled_ || waitWindow_) return;
  waitWindow_ = new QDialog(nullptr, kDialogWindowFlags);
  waitWindow_->setObjectName(QStringLiteral("waitWindow"));
  waitWindow_->setWindowTitle(programTitle());
  waitWindow_->setWindowIcon(appIcon());
  waitWindow_->setFont(font());
  auto* layout = new QVBoxLayout(waitWindow_);
  auto* text = new QLabel(waitingMessage(), waitWindow_);
  layout->addWidget(text);
  auto* cancel = new QPushButton(cancelCaption(), waitWindow_);
  cancel->setObjectName(QStringLiteral("waitCancelButton"));
  layout->addWidget(cancel, 0, Qt::AlignRight);
  connect(cancel, &QPushButton::clicked, waitWindow_, &QDialog::reject);
  connect(waitWindow_, &QDialog::rejected, this, &OstrelDialog::cancelWait);
  waitWindow_->show();
}

void OstrelDialog::cancelWait() {
  if (!waitLoop_ || ready_) return;
  cancelled_ = true;
  waitLoop_->quit();
}

void OstrelDialog::onToggleClicked() {
  if (!library_) return;
  takeEvents();  // an end not yet taken belongs to the recording before
  testOn_ = toggle_->isChecked();
  if (testOn_) {
    toggle_->setText(stopCaption());
    if (library_->StartReadSound(kRecordingFile, 1) < 0) {
      // Back to idle, silently.
      testOn_ = false;
      toggle_->setChecked(testOn_);
      toggle_->setText(startCaption());
    }
  } else {
    stopTest();
  }
}

void OstrelDialog::stopTest() {
  toggle_->setEnabled(false);
  toggle_->repaint();  // the stop blocks the GUI thread: show the disabled button now
  library_->StopReadSound();
  toggle_->setEnabled(true);
  toggle_->setText(startCaption());
}

void OstrelDialog::takeEvents() {
  if (!library_) return;
  tavro_event event;
  while (tavro_event_take(library_.get(), &event) == 1) {
    if (event.kind != TAVRO_EVENT_RECORDING_ENDED || !testOn_) continue;
    testOn_ = false;
    toggle_->setChecked(false);
    toggle_->setText(startCaption());
  }
}

void OstrelDialog::done(int result) {
  // A recording left running would keep placeholder sizes in the wave file's header.
  if (testOn_ && library_) {
    testOn_ = false;
    toggle_->setChecked(false);
    stopTest();
  }
  // The program ends with the dialog: no notice may keep a thread waiting for it.
  if (options_.notices) options_.notices->shutDown();
  QDialog::done(result);
}

void OstrelDialog::shutDown() {
  if (testOn_ && library_) {
    testOn_ = false;
    toggle_->setChecked(false);
    stopTest();
  }
  // The library's stop waits for its worker threads, and a worker may be waiting for a
  // notice to be answered on this thread.
  if (options_.notices) options_.notices->shutDown();
  delete events_;  // its descriptor ends with the library object
  events_ = nullptr;
  library_.reset();
  if (starter_) {
    if (starter_->waitFinished(options_.startGrace)) {
      starter_->take().reset();
      starter_.reset();
    } else {
      starter_->abandon();
      starter_.reset();
      abandoned_ = true;
    }
  }
}

void OstrelDialog::requestEnd() {
  if (waitLoop_) {
    cancelWait();
    return;
  }
  // Modal windows above the dialog first, so that its own event loop can end.
  while (QWidget* modal = QApplication::activeModalWidget()) {
    if (modal == this) break;
    modal->close();
    if (modal->isVisible()) break;  // it refused to close
  }
  if (isVisible()) reject();
}

bool OstrelDialog::systemCommand(unsigned id) {
  if ((id & 0xFFF0u) == kAboutCommand) {
    showAbout();
    return true;
  }
  return false;
}

void OstrelDialog::showAbout() {
  AboutDialog about(this);
  about.exec();
}

void OstrelDialog::contextMenuEvent(QContextMenuEvent* event) {
#ifdef Q_OS_WIN
  QDialog::contextMenuEvent(event);
#else
  // Linux desktops give the program no window system menu: the same entry is offered here.
  menu_->popup(event->globalPos());
  event->accept();
#endif
}

void OstrelDialog::paintEvent(QPaintEvent* event) {
  if (!isMinimized()) {
    QDialog::paintEvent(event);
    return;
  }
  // Where the window system asks a minimised window to paint itself: the icon, centred.
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  const QPixmap icon = largeIcon();
  painter.drawPixmap(minimisedIconOrigin(size(), icon.size()), icon);
}

#ifdef Q_OS_WIN
bool OstrelDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  const MSG* msg = static_cast<const MSG*>(message);
  if (msg->message == WM_SYSCOMMAND && systemCommand(static_cast<unsigned>(msg->wParam))) {
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}
#endif

}  // namespace ostrel
