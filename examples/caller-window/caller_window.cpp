// caller-window: a window that shows the last caller, and below it every ring, caller ID
// and DTMF digit as it comes. Qt's event loop watches the library's event descriptor
// with a QSocketNotifier: no timer, no polling.
#include <tavro/CKusb_IO.h>
#include <tavro/events.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QSocketNotifier>
#include <QTime>
#include <QVBoxLayout>
#include <QWidget>

#include "event_line.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  CKusb_IO io;  // finds the box and starts the library's threads

  QWidget window;
  window.setWindowTitle("Callers");
  auto* layout = new QVBoxLayout(&window);
  auto* lastCaller = new QLabel("No call yet");
  QFont large = lastCaller->font();
  large.setPointSizeF(large.pointSizeF() * 1.5);
  lastCaller->setFont(large);
  lastCaller->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // A caller's name is the caller's to choose: shown as text, never as markup.
  lastCaller->setTextFormat(Qt::PlainText);
  auto* log = new QListWidget;
  layout->addWidget(lastCaller);
  layout->addWidget(log);

  // Readable while events wait: take them all each time it fires.
  QSocketNotifier notifier(tavro_events_fd(&io), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    tavro_event event;
    char line[256];
    while (tavro_event_take(&io, &event) == 1) {
      if (!formatEventLine(&event, line, sizeof line)) continue;
      const QString stamp = QTime::currentTime().toString("HH:mm:ss");
      log->addItem(stamp + "  " + QString::fromUtf8(line));
      log->scrollToBottom();
      if (event.kind == TAVRO_EVENT_CALLER_ID) {
        formatCaller(&event.u.caller_id, line, sizeof line);
        lastCaller->setText(QString::fromUtf8(line));
      }
    }
  });

  window.resize(420, 320);
  window.show();
  return app.exec();
}
