/* The examples' event lines: the texts for each kind of caller, and lines cut to any
 * buffer size stay terminated, within the buffer and a prefix of the whole line. */
#include <stdio.h>
#include <string.h>

#include "event_line.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static tavro_event callerEvent(const char* number, const char* name) {
  tavro_event e;
  memset(&e, 0, sizeof e);
  e.kind = TAVRO_EVENT_CALLER_ID;
  e.u.caller_id.message_type = TAVRO_CALLER_ID_MULTIPLE;
  e.u.caller_id.checksum_valid = 1;
  strcpy(e.u.caller_id.number, number);
  strcpy(e.u.caller_id.name, name);
  return e;
}

static int lineIs(const tavro_event* e, const char* expected) {
  char line[256];
  return formatEventLine(e, line, sizeof line) == 1 && strcmp(line, expected) == 0;
}

int main(void) {
  tavro_event e = callerEvent("5551234", "ANN LEE");
  e.u.caller_id.has_date_time = 1;
  e.u.caller_id.month = 2;
  e.u.caller_id.day = 9;
  e.u.caller_id.hour = 7;
  e.u.caller_id.minute = 5;
  CHECK(lineIs(&e, "caller 5551234 \"ANN LEE\" 02/09 07:05"));

  tavro_event reasons = callerEvent("", "");
  reasons.u.caller_id.number_absence = TAVRO_ABSENCE_PRIVATE;
  reasons.u.caller_id.name_absence = TAVRO_ABSENCE_UNAVAILABLE;
  reasons.u.caller_id.checksum_valid = 0;
  CHECK(lineIs(&reasons, "caller private (name unavailable) (checksum mismatch)"));
  tavro_event none = callerEvent("", "");
  none.u.caller_id.message_type = TAVRO_CALLER_ID_NONE;
  none.u.caller_id.checksum_valid = 0;
  none.u.caller_id.number_absence = TAVRO_ABSENCE_NO_NUMBER;
  CHECK(lineIs(&none, "caller no number"));
  /* What a caller sends reaches no terminal as it is. */
  tavro_event hostile = callerEvent("555\x1b[2J1", "<h1>\\BANK\x9b</h1>");
  CHECK(lineIs(&hostile, "caller 555\\x1b[2J1 \"<h1>\\\\BANK\\x9b</h1>\""));
  char line[8] = "x";
  CHECK(formatEventLine(&(tavro_event){.kind = TAVRO_EVENT_TONE}, line, sizeof line) == 0);
  CHECK(line[0] == '\0');

  /* Every size from 1 up, with a guard byte after the buffer. */
  tavro_event longest = callerEvent("012345678901234567890123456789", "");
  memset(longest.u.caller_id.name, 'N', sizeof longest.u.caller_id.name - 1);
  char whole[256];
  CHECK(formatEventLine(&longest, whole, sizeof whole) == 1);
  for (size_t size = 1; size <= strlen(whole) + 1; ++size) {
    char cut[256];
    memset(cut, 0x7F, sizeof cut);
    CHECK(formatEventLine(&longest, cut, size) == 1);
    CHECK(strlen(cut) == size - 1);
    CHECK(strncmp(cut, whole, size - 1) == 0);
    CHECK(cut[size] == 0x7F);
  }
  if (failures == 0) puts("event lines: passed");
  return failures == 0 ? 0 : 1;
}
