// Ostrel: the signal test dialog of the telephone-line box.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "testapp/app_icon.h"
#include "testapp/notice_bridge.h"
#include "testapp/ostrel_dialog.h"
#include "testapp/texts.h"

int main(int argc, char* argv[]) {
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
