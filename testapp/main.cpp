// Ostrel: the signal test dialog of the telephone-line box.
#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include "testapp/app_icon.h"
#include "testapp/notice_bridge.h"
#include "testapp/ostrel_dialog.h"
#include "testapp/texts.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void onEndSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

// Ctrl-C or a TERM from the terminal ends the program the orderly way, so that a running
// recording is finished rather than cut off.
bool catchEndSignals() {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace
#endif

namespace {

// --version and --help answer without a display.
std::optional<int> answerInfoOption(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("ostrel %s\n", ostrel::kVersion);
      return EXIT_SUCCESS;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "Usage: ostrel [Qt options]\n"
          "The signal test dialog of the telephone-line box: records the line into %s\n"
          "in the current directory while its button is down.\n"
          "  --version  print the version and exit\n"
          "  --help     print this text and exit\n",
          ostrel::kRecordingFile);
      return EXIT_SUCCESS;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const auto answered = answerInfoOption(argc, argv)) return *answered;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(ostrel::kProgramName));
  QApplication::setApplicationDisplayName(ostrel::programTitle());
  QApplication::setApplicationVersion(QString::fromLatin1(ostrel::kVersion));
  QApplication::setOrganizationName(QString::fromLatin1(ostrel::kOrganisationName));
  QApplication::setDesktopFileName(QStringLiteral("ostrel"));
  QApplication::setWindowIcon(ostrel::appIcon());

  ostrel::NoticeBridge notices;
  ostrel::OstrelOptions options;
  options.notices = &notices;
  ostrel::OstrelDialog dialog(options);

  std::unique_ptr<QSocketNotifier> endSignals;
#ifdef Q_OS_UNIX
  if (catchEndSignals()) {
    endSignals = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(endSignals.get(), &QSocketNotifier::activated, &dialog, [&dialog] {
      char drained[16];
      while (::read(gSignalPipe[0], drained, sizeof drained) > 0) {
      }
      dialog.requestEnd();
    });
  }
#endif

  dialog.run();
  // Every worker thread of the library has ended when this returns.
  dialog.shutDown();
  if (dialog.libraryAbandoned()) {
    // A start that never returned still runs inside the library: end without running the
    // destructors it may still use.
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
  }
  return EXIT_SUCCESS;
}
