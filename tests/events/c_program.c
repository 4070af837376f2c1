/* A C program that uses the C interface: built as C against the shared library, run
 * without a box (the link stays down). */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavro/devices.h"
#include "tavro/events.h"
#include "tavro/exports.h"
#include "tavro/notice.h"
#include "tavro/result.h"
#include "tavro/status.h"

static int calls;

static void onNotice(int code, const char* text, void* user) {
  (void)code;
  (void)text;
  (void)user;
}

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

/* Each code is known by the name it has in tavro/result.h. */
#define NAMED(code) CHECK(strcmp(tavro_result_name(code), #code) == 0)

static int checkResultNames(void) {
  NAMED(TAVRO_SUCCESS);
  NAMED(TAVRO_ERROR_LINK_DOWN);
  NAMED(TAVRO_ERROR_NOT_RUNNING);
  NAMED(TAVRO_ERROR_TIMEOUT);
  NAMED(TAVRO_ERROR_ON_HOOK);
  NAMED(TAVRO_ERROR_FILE);
  NAMED(TAVRO_ERROR_ALREADY_RUNNING);
  NAMED(TAVRO_ERROR_DISK_FULL);
  NAMED(TAVRO_ERROR_SIZE_LIMIT);
  CHECK(strcmp(tavro_result_name(-9), "unknown") == 0);
  CHECK(strcmp(tavro_result_name(512), "unknown") == 0);
  return 0;
}

/* The list as the backends in use give it, with what stands in the way of finding a box. */
static int checkDeviceList(void) {
  CHECK(setenv("TAVRO_BACKENDS", "wire,nowhere", 1) == 0);
  tavro_device_list* list = tavro_list_devices();
  CHECK(list != NULL);
  CHECK(list->backend_count == 1 && strcmp(list->backends[0], "wire") == 0);
  CHECK(list->device_count == 0); /* no box on this wire */
  CHECK(list->note_count == 1 && strstr(list->notes[0], "nowhere") != NULL);
  tavro_free_device_list(list);
  CHECK(strcmp(tavro_device_state_name(TAVRO_DEVICE_NOT_A_BOX), "not a box") == 0);
  CHECK(unsetenv("TAVRO_BACKENDS") == 0);
  return 0;
}

int main(void) {
  CHECK(checkResultNames() == 0);
  CHECK(checkDeviceList() == 0);
  CHECK(tavro_set_notice_handler(onNotice, NULL) == 1);
  CKusb_IO* io = tavro_open();
  CHECK(io != NULL);
  CHECK(tavro_box_in_use() == 0); /* no box at all */
  CHECK(GetTelStatus(io) & TAVRO_STATUS_LINK_DOWN);
  CHECK(PickUp(io) == TAVRO_ERROR_LINK_DOWN);
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
  CHECK(tavro_close(NULL) == TAVRO_ERROR_INVALID_ARGUMENT);
  CHECK(tavro_set_notice_handler(NULL, NULL) == 1);
  puts("ok");
  return 0;
}
