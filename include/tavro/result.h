/* The result codes of the library's operations, by name, for C and C++.
 *
 * Every operation returns a signed result: TAVRO_SUCCESS (1), a count or value where the
 * operation documents one, or one of the negative codes below. A code keeps its value
 * from release to release. Some values carry a second meaning for some operations, which
 * those operations document; the second names below are for those places, and
 * tavro_result_name() gives the first name of a value.
 */
#ifndef TAVRO_RESULT_H
#define TAVRO_RESULT_H

#include "tavro/export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum tavro_result {
  TAVRO_SUCCESS = 1,
  TAVRO_ERROR_LINK_DOWN = -1,       /* the link is down: nothing was sent */
  TAVRO_ERROR_NOT_RUNNING = -2,     /* the worker thread the operation needs is not running */
  TAVRO_ERROR_TIMEOUT = -3,         /* the box did not answer in time, or the send gave up
                                       waiting for the previous command */
  TAVRO_ERROR_ON_HOOK = -4,         /* the line is on hook for an operation that needs it off */
  TAVRO_ERROR_FILE = -5,            /* recording, playback: the file cannot be created or opened */
  TAVRO_ERROR_ALREADY_RUNNING = -6, /* recording, playback: one is already running */
  TAVRO_ERROR_DISK_FULL = -7,       /* StopReadSound: writing the wave file failed */
  TAVRO_ERROR_SIZE_LIMIT = -8,      /* StopReadSound: the largest recording was reached */

  /* Second meanings, where an operation documents them. */
  TAVRO_ERROR_INVALID_ARGUMENT = -2, /* a null, empty or unusable argument; nothing was sent */
  TAVRO_ERROR_NO_DATA = -2,          /* nothing to give: no number reported, no tone report */
  TAVRO_ERROR_OWN_CALLBACK = -3,     /* tavro_close from the object's own callback */
  TAVRO_ERROR_NO_DIGIT = -4          /* GetDTMFCode: no digit waits */
};

/* The name of a result code as written above ("TAVRO_ERROR_LINK_DOWN" for -1), the first
 * name of a value that has two, and "unknown" for any other value (a count, or a code of
 * a later version). The text is static: never freed, never null. */
TAVRO_API const char* tavro_result_name(int result);

#ifdef __cplusplus
}
#endif

#endif /* TAVRO_RESULT_H */
