#include "tools/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "tavro/events.h"
#include "tavro/notice.h"
#include "tools/text.h"

namespace tavro::tool {

namespace {

std::atomic<int> gSignals{0};
std::atomic<int> gSignalNumber{0};
int gWakePipe[2] = {-1, -1};

void onSignal(int number) {
  if (gSignals.fetch_add(1) >= 1) _exit(kExitInterrupted);
  gSignalNumber.store(number);
  if (gWakePipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(gWakePipe[1], &c, 1);
    (void)ignored;
  }
}

}  // namespace

void nap(int ms) {
  if (gSignals.load() > 0) return;
  pollfd p{gWakePipe[0], POLLIN, 0};
  poll(&p, gWakePipe[0] >= 0 ? 1 : 0, ms);
}

void installSignalHandlers(bool verboseNotices) {
  if (pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) gWakePipe[0] = gWakePipe[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed standard output must not kill the tool before it has stopped the library;
  // nor a file size limit (ulimit -f): a write beyond it fails, as on a full disk.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // The library's own texts are not in English: the tool says what they mean, and with
  // --verbose adds the text itself.
  // Repeats come at most once a second, with how many times the notice was raised.
  tavro::setNoticeHandler([verboseNotices](const std::string& text) {
    const char* english = tavro_notice_text(tavro_notice_code(text.c_str()));
    const int count = tavro_notice_count();
    const std::string times = count > 1 ? " (" + std::to_string(count) + " times)" : "";
    if (!*english)
      std::fprintf(stderr, "tavro: notice: %s%s\n", text.c_str(), times.c_str());
    else if (verboseNotices)
      std::fprintf(stderr, "tavro: notice: %s%s\ntavro: the library's text: %s\n", english,
                   times.c_str(), text.c_str());
    else
      std::fprintf(stderr, "tavro: notice: %s%s\n", english, times.c_str());
  });
}

bool interrupted() {
  return gSignals.load() > 0;
}

int interruptSignal() {
  return gSignals.load() > 0 ? gSignalNumber.load() : 0;
}

int interruptFd() {
  return gWakePipe[0];
}

void clearInterrupt() {
  char buf[16];
  while (gWakePipe[0] >= 0 && read(gWakePipe[0], buf, sizeof buf) > 0) {
  }
  gSignalNumber.store(0);
  gSignals.store(0);
}

}  // namespace tavro::tool
