/* caller-log: prints a line for every ring, caller ID and DTMF digit on the line (and the
 * link lost and back), as they come, until interrupted. It sleeps in poll() on the
 * library's event descriptor, so nothing wakes it while the line is quiet.
 *
 *   $ caller-log
 *   2026-12-09 18:30:02 ring
 *   2026-12-09 18:30:03 caller 5551234 "ANN LEE" 12/09 18:30
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <tavro/events.h>
#include <time.h>
#include <unistd.h>

#include "event_line.h"

/* A signal writes a byte here, so that poll() wakes however late in the loop it comes. */
static int stopPipe[2] = {-1, -1};

static void onStopSignal(int signo) {
  (void)signo;
  const char byte = 1;
  const ssize_t written = write(stopPipe[1], &byte, 1); /* full: a stop is pending anyway */
  (void)written;
}

static void printLine(const char* line) {
  char stamp[32] = "";
  const time_t now = time(NULL);
  struct tm local;
  if (localtime_r(&now, &local) != NULL) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  printf("%s %s\n", stamp, line);
}

int main(int argc, char** argv) {
  if (argc > 1) {
    const int help = strcmp(argv[1], "--help") == 0;
    fprintf(help ? stdout : stderr,
            "usage: caller-log\nPrints the line's rings, caller IDs and DTMF digits as they "
            "come, until interrupted.\n");
    return help ? 0 : 2;
  }
  /* Lines go out as they happen, also into a pipe. */
  setvbuf(stdout, NULL, _IOLBF, 0);

  if (pipe(stopPipe) != 0 || fcntl(stopPipe[1], F_SETFL, O_NONBLOCK) != 0) {
    perror("caller-log: pipe");
    return 1;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGTERM, &action, NULL);

  CKusb_IO* io = tavro_open();
  if (io == NULL) {
    fprintf(stderr, "caller-log: the library could not start\n");
    return 1;
  }
  struct pollfd watched[2] = {{tavro_events_fd(io), POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
  int rc = 0;
  for (;;) {
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      perror("caller-log: poll");
      rc = 1;
      break;
    }
    if (watched[1].revents != 0) break; /* interrupted */
    tavro_event event;
    char line[256];
    while (tavro_event_take(io, &event) == 1)
      if (formatEventLine(&event, line, sizeof line)) printLine(line);
  }
  tavro_close(io);
  return rc;
}
