/* A C program that uses the events interface: built as C against the shared library, run
 * without a box (the link stays down). */
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include "tavro/events.h"

static int calls;

static void onEvent(CKusb_IO* io, const tavro_event* event, void* user) {
  (void)io;
  (void)event;
  ++*(int*)user;
}

#define CHECK(cond)                           \
  do {                                        \
    if (!(cond)) {                            \
      fprintf(stderr, "failed: %s\n", #cond); \
      return 1;                               \
    }                                         \
  } while (0)

int main(void) {
  CKusb_IO* io = tavro_open();
  CHECK(io != NULL);
  const int fd = tavro_events_fd(io);
  CHECK(fd >= 0);
  struct pollfd p = {fd, POLLIN, 0};
  CHECK(poll(&p, 1, 0) >= 0);

  tavro_event event;
  memset(&event, 0, sizeof event);
  while (tavro_event_take(io, &event) == 1) {
  }
  CHECK(poll(&p, 1, 0) == 0);
  CHECK(tavro_event_wait(io, &event, 10) == 0);
  CHECK(tavro_event_take(NULL, &event) == -2);

  tavro_caller_id id;
  CHECK(tavro_read_caller_id(io, &id) == -1); /* no box: the link is down */
  CHECK(tavro_ack_status(io, 0x1) == 0);
  CHECK(strlen(tavro_notice_text(TAVRO_NOTICE_LINK_LOST)) > 0);
  CHECK(tavro_notice_text(99)[0] == '\0');

  CHECK(tavro_events_set_callback(io, onEvent, &calls) == 1);
  CHECK(tavro_events_set_callback(io, NULL, NULL) == 1);
  CHECK(tavro_close(io) == 1);
  CHECK(tavro_close(NULL) == -2);
  puts("ok");
  return 0;
}
