#include "event_line.h"

#include <stdarg.h>
#include <stdio.h>

static const char* absenceText(uint8_t absence) {
  switch (absence) {
    case TAVRO_ABSENCE_PRIVATE:
      return "private";
    case TAVRO_ABSENCE_UNAVAILABLE:
      return "unavailable";
    case TAVRO_ABSENCE_NO_NUMBER:
      return "no number";
    default:
      return NULL;
  }
}

/* Appends to the text in `out`; `*used` never passes size - 1, so a cut line stays
 * terminated. */
static void append(char* out, size_t size, size_t* used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
static void append(char* out, size_t size, size_t* used, const char* format, ...) {
  if (*used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(out + *used, size - *used, format, args);
  va_end(args);
  if (n < 0) return;
  *used += (size_t)n < size - *used ? (size_t)n : size - *used - 1;
}

/* Appends text from the line, which may hold any byte: a control byte (or any byte outside
 * printable ASCII) would move the cursor or clear the screen, so it is shown as \xNN, and a
 * backslash as \\. */
static void appendFromLine(char* out, size_t size, size_t* used, const char* text, size_t most) {
  for (size_t i = 0; i < most && text[i] != '\0'; ++i) {
    const unsigned char c = (unsigned char)text[i];
    if (c == '\\')
      append(out, size, used, "\\\\");
    else if (c >= 0x20 && c < 0x7F)
      append(out, size, used, "%c", c);
    else
      append(out, size, used, "\\x%02x", c);
  }
}

void formatCaller(const tavro_caller_id* caller, char* out, size_t size) {
  size_t used = 0;
  if (size == 0) return;
  out[0] = '\0';
  const char* numberAbsent = absenceText(caller->number_absence);
  if (numberAbsent != NULL)
    append(out, size, &used, "%s", numberAbsent);
  else if (caller->number[0] != '\0')
    appendFromLine(out, size, &used, caller->number, sizeof caller->number);
  else
    append(out, size, &used, "-");
  const char* nameAbsent = absenceText(caller->name_absence);
  if (caller->name[0] != '\0') {
    append(out, size, &used, " \"");
    appendFromLine(out, size, &used, caller->name, sizeof caller->name);
    append(out, size, &used, "\"");
  } else if (nameAbsent != NULL)
    append(out, size, &used, " (name %s)", nameAbsent);
  if (caller->has_date_time)
    append(out, size, &used, " %02d/%02d %02d:%02d", caller->month, caller->day, caller->hour,
           caller->minute);
  /* The box has checked the sum already: a mismatch is shown, the call is not dropped. */
  if (!caller->checksum_valid && caller->message_type != TAVRO_CALLER_ID_NONE)
    append(out, size, &used, " (checksum mismatch)");
}

int formatEventLine(const tavro_event* event, char* out, size_t size) {
  size_t used = 0;
  if (size == 0) return 0;
  out[0] = '\0';
  switch (event->kind) {
    case TAVRO_EVENT_RING:
      append(out, size, &used, "ring");
      return 1;
    case TAVRO_EVENT_CALLER_ID:
      append(out, size, &used, "caller ");
      formatCaller(&event->u.caller_id, out + used, size - used);
      return 1;
    case TAVRO_EVENT_DTMF:
      append(out, size, &used, "dtmf %c", event->u.dtmf.key);
      return 1;
    case TAVRO_EVENT_LINK_LOST:
      append(out, size, &used, "link lost");
      return 1;
    case TAVRO_EVENT_LINK_BACK:
      append(out, size, &used, "link back");
      return 1;
    case TAVRO_EVENT_OVERFLOW:
      append(out, size, &used, "%lu events lost", (unsigned long)event->u.overflow.dropped);
      return 1;
    default:
      return 0;
  }
}
