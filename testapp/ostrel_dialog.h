// The main dialog: waits for the box, then records the line into "CallSignalFile.wav"
// while its toggle button is down.
#ifndef OSTREL_OSTREL_DIALOG_H
#define OSTREL_OSTREL_DIALOG_H

#include <QDialog>
#include <chrono>
#include <functional>
#include <memory>

#include "tavro/CKusb_IO.h"

class QAction;
class QEventLoop;
class QMenu;
class QPushButton;
class QSocketNotifier;

namespace ostrel {

class LibraryStarter;
class NoticeBridge;

inline constexpr int kCancelId = 2;
inline constexpr int kAboutId = 57664;
inline constexpr int kToggleId = 1003;
// The system-menu command of the About entry; the low four bits are the system's own.
inline constexpr unsigned kAboutCommand = 0x10;

using LibraryFactory = std::function<std::unique_ptr<CKusb_IO>()>;

struct OstrelOptions {
  LibraryFactory factory;           // empty: a new CKusb_IO
  NoticeBridge* notices = nullptr;  // shut down when the dialog ends
  // How long the library may take before a window tells the user what the program waits for.
  std::chrono::milliseconds waitWindowDelay{3000};
  // How long the stop waits for a library start that is still running.
  std::chrono::milliseconds startGrace{5000};
};

class OstrelDialog : public QDialog {
  Q_OBJECT

 public:
  explicit OstrelDialog(OstrelOptions options = {});
  ~OstrelDialog() override;

  // The start-up and then the dialog, until it ends.
  int run();
  // What happens before the dialog is first shown: creates the library object, waits until
  // it is ready and sets the line up. False when the program is to end (no box, or the
  // user cancelled the wait).
  bool startUp();
  // Stops a running recording, then destroys the library object. Idempotent.
  void shutDown();
  // True when a library start never returned and had to be left behind.
  bool libraryAbandoned() const { return abandoned_; }

  // Ends the program the orderly way (a signal from the terminal, say): ends the start-up
  // wait or closes the open windows and the dialog, stopping a running recording.
  void requestEnd();

  // A command of the window's system menu; true when handled.
  bool systemCommand(unsigned id);

  QPushButton* toggleButton() const { return toggle_; }
  QPushButton* aboutButton() const { return about_; }
  QPushButton* cancelButton() const { return cancel_; }
  QMenu* systemMenu() const { return menu_; }  // the context menu on desktops without one
  QDialog* waitWindow() const { return waitWindow_; }
  bool testOn() const { return testOn_; }

 public slots:
  void showAbout();

 protected:
  void done(int result) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
#ifdef Q_OS_WIN
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

 private:
  bool waitForLibrary();
  void checkLibrary();
  void cancelWait();
  void showWaitWindow();
  void onToggleClicked();
  void stopTest();
  void takeEvents();

  OstrelOptions options_;
  std::unique_ptr<LibraryStarter> starter_;
  std::unique_ptr<CKusb_IO> library_;
  bool testOn_ = false;
  bool abandoned_ = false;

  QPushButton* cancel_ = nullptr;
  QPushButton* about_ = nullptr;
  QPushButton* toggle_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QSocketNotifier* events_ = nullptr;  // the library's events, while it lives

  // While the start-up waits.
  QEventLoop* waitLoop_ = nullptr;
  QDialog* waitWindow_ = nullptr;
  bool ready_ = false;
  bool cancelled_ = false;
};

}  // namespace ostrel

#endif  // OSTREL_OSTREL_DIALOG_H
