/* One line of text for an event, as the example programs show it. */
#ifndef TAVRO_EXAMPLES_EVENT_LINE_H
#define TAVRO_EXAMPLES_EVENT_LINE_H

#include <stddef.h>
#include <tavro/events.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the line for `event` into `out` (always ended with a zero byte, cut to `size`)
 * and returns 1 for the kinds the examples show: a ring, a caller ID, a DTMF digit, the
 * link lost and back, and lost events. Other kinds give 0 and an empty line.
 *
 *   ring
 *   caller 5551234 "ANN LEE" 12/24 18:30
 *   caller private "ANN LEE"            (the number withheld; likewise "unavailable")
 *   dtmf 5
 */
int formatEventLine(const tavro_event* event, char* out, size_t size);

/* The caller-ID part of the line above, without the leading "caller ". The number and
 * the name come from the line: every byte outside printable ASCII shows as \xNN and a
 * backslash as \\, so that nothing a caller sends can control a terminal. */
void formatCaller(const tavro_caller_id* caller, char* out, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TAVRO_EXAMPLES_EVENT_LINE_H */
