/* Events: what happens on the line and the link, as it happens, for C and C++.
 *
 * Every library object keeps a queue of events from its construction to its destruction.
 * The library's own threads put an event in at the moment the thing happens: a ring, a
 * caller ID (the whole record decoded), a DTMF digit, a tone report, a change of the hook
 * state and what changed it, the link lost and back, the end of a recording, playback
 * progress (at most four a second) and end, the end of a host-buffer stream, a notice.
 * Every object sees every event of the box.
 *
 * Three ways to take them, from any thread:
 *   - tavro_events_fd(): a descriptor that is readable while the queue holds events, for
 *     poll(), epoll, select, QSocketNotifier or a GLib source; then take with
 *     tavro_event_take() until it returns 0. Never read the descriptor yourself.
 *   - tavro_event_take() (never waits) and tavro_event_wait() (waits up to a time-out).
 *   - tavro_events_set_callback(): the library calls a function of yours, one event at a
 *     time and in order, on a thread of its own that holds no lock the operations need:
 *     the callback may call any operation of the library. While a callback is set, it
 *     takes the events (the descriptor is then seldom readable).
 *
 * The queue holds TAVRO_EVENT_QUEUE_SIZE events. When the application does not take them,
 * the oldest are dropped, and the next event taken is a TAVRO_EVENT_OVERFLOW that says how
 * many were lost, in the place where they were. Nothing else is ever dropped or reordered.
 *
 * The object: a C program makes one with tavro_open() and ends it with tavro_close(); a
 * C++ program may pass its CKusb_IO object. Closing or destroying the object ends the
 * callback thread (after the running callback returns) and wakes every waiter, whose wait
 * returns 0. tavro_close() from within the object's own callback is refused (-3): the
 * object cannot end while its callback runs; close it from another thread. A C++ program
 * that destroys the object from within its callback gets no further callback, and the
 * callback thread ends as soon as the callback returns.
 */
#ifndef TAVRO_EVENTS_H
#define TAVRO_EVENTS_H

#include <stdint.h>

#include "tavro/export.h"
/* The results below by name: -1 TAVRO_ERROR_LINK_DOWN, -2 TAVRO_ERROR_INVALID_ARGUMENT,
 * -3 TAVRO_ERROR_OWN_CALLBACK. */
#include "tavro/result.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAVRO_EVENT_QUEUE_SIZE 256

enum tavro_event_kind {
  TAVRO_EVENT_RING = 1,              /* the box reported a ring */
  TAVRO_EVENT_CALLER_ID = 2,         /* u.caller_id */
  TAVRO_EVENT_DTMF = 3,              /* u.dtmf */
  TAVRO_EVENT_TONE = 4,              /* u.tone */
  TAVRO_EVENT_HOOK = 5,              /* u.hook */
  TAVRO_EVENT_LINK_LOST = 6,         /* the reply pipe failed; operations return -1 */
  TAVRO_EVENT_LINK_BACK = 7,         /* all four pipes are open again */
  TAVRO_EVENT_RECORDING_ENDED = 8,   /* u.recording: a recording into a file ended */
  TAVRO_EVENT_PLAYBACK_PROGRESS = 9, /* u.playback */
  TAVRO_EVENT_PLAYBACK_ENDED = 10,   /* u.playback */
  TAVRO_EVENT_STREAM_ENDED = 11,     /* u.recording: a host-buffer stream ended */
  TAVRO_EVENT_NOTICE = 12,           /* u.notice */
  TAVRO_EVENT_OVERFLOW = 13          /* u.overflow */
};

/* Why a caller-ID field is absent. */
enum tavro_absence {
  TAVRO_ABSENCE_NONE = 0,        /* present, or the message says nothing about it */
  TAVRO_ABSENCE_PRIVATE = 1,     /* withheld by the caller */
  TAVRO_ABSENCE_UNAVAILABLE = 2, /* unavailable or out of area */
  TAVRO_ABSENCE_NO_NUMBER = 3    /* the box reported a call without a number */
};

/* The caller-ID message types. */
enum tavro_caller_id_type {
  TAVRO_CALLER_ID_NONE = 0,        /* no message (see number_absence) */
  TAVRO_CALLER_ID_SINGLE = 0x04,   /* single-data message */
  TAVRO_CALLER_ID_MULTIPLE = 0x80, /* multiple-data message */
  TAVRO_CALLER_ID_DTMF = 0x05      /* digit string */
};

/* Every field of a caller-ID record. The record comes from the line: the name holds only
 * printable ASCII (other bytes become '?'); both texts are cut to their arrays and end
 * with a zero byte, and every byte after it is zero too. A text with a reason for its
 * absence (number_absence, name_absence) is empty. */
typedef struct tavro_caller_id {
  uint8_t message_type;   /* enum tavro_caller_id_type */
  uint8_t checksum_valid; /* 1 when the message's checksum matches (1 for digit strings) */
  uint8_t has_date_time;  /* 1 when month, day, hour and minute were given */
  uint8_t month;          /* 1-12 */
  uint8_t day;            /* 1-31 */
  uint8_t hour;           /* 0-23 */
  uint8_t minute;         /* 0-59 */
  uint8_t number_absence; /* enum tavro_absence */
  uint8_t name_absence;   /* enum tavro_absence */
  uint8_t raw_length;     /* bytes in raw */
  char number[61];        /* as Read_Call_Nmb gives it */
  char name[61];
  uint8_t raw[64]; /* the record as the box sent it (state, type, length, body, sum) */
} tavro_caller_id;

struct tavro_dtmf_event {
  uint8_t code; /* as the box sent it (GetDTMFCode) */
  char key;     /* '0'-'9', '*', '#', 'A'-'D'; '?' for a code with no key */
};

struct tavro_tone_event {
  uint16_t first; /* the report's two values, as Get450HzRecd gives them */
  uint16_t second;
  uint8_t tone; /* 1 when second is above 10: a tone is on the line (the tone bit) */
};

enum tavro_hook_cause {
  TAVRO_HOOK_BY_CALL = 1, /* PickUp or PutDown */
  TAVRO_HOOK_BY_BOX = 2,  /* the box's hook status item */
  TAVRO_HOOK_BY_AUDIO = 3 /* a hang-up seen in the audio stream */
};

struct tavro_hook_event {
  uint8_t off_hook; /* the new state */
  uint8_t cause;    /* enum tavro_hook_cause */
};

enum tavro_end_reason {
  TAVRO_END_STOPPED = 1,    /* stopped by the application, or played to its end */
  TAVRO_END_DISK_FULL = 2,  /* writing the file failed (StopReadSound -7) */
  TAVRO_END_SIZE_LIMIT = 3, /* the largest recording was reached (-8) */
  TAVRO_END_FILE_ERROR = 4, /* the file could not be created or opened (-5) */
  TAVRO_END_LINK_LOST = 5   /* the link was lost, or the pipe that carried the audio failed */
};

struct tavro_recording_event {
  int32_t bytes;  /* as StopReadSound (file) or CloseReadSoundInPC (stream) counts them */
  uint8_t reason; /* enum tavro_end_reason */
};

struct tavro_playback_event {
  int32_t permille; /* progress in thousandths, as GetWriteSoundRate */
  uint32_t bytes;   /* bytes sent so far */
  uint8_t reason;   /* PLAYBACK_ENDED only: enum tavro_end_reason */
};

enum tavro_notice_code {
  TAVRO_NOTICE_LINK_LOST = 1,     /* the box's connection failed */
  TAVRO_NOTICE_NO_USED = 2,       /* the box sent a record of an unused type */
  TAVRO_NOTICE_RECEIVE_ERROR = 3, /* a test transfer got no answer */
  TAVRO_NOTICE_STOP_ERROR = 4     /* a recording did not finish in time */
};

struct tavro_notice_event {
  int32_t code;   /* enum tavro_notice_code */
  char text[256]; /* the library's own text (UTF-8), as the notice handler gets it */
};

struct tavro_overflow_event {
  uint32_t dropped; /* events lost here because the queue was full */
};

/* An event. time_ns orders events and measures between them; wall_time_ns dates them (it
 * follows the system clock, which may be set back or forth between two events). A program
 * built with earlier headers, whose event has no wall_time_ns, keeps working: it is given
 * the event without that field. */
typedef struct tavro_event {
  uint32_t kind;     /* enum tavro_event_kind */
  uint32_t sequence; /* counts the object's events from 1; an overflow takes no number */
  int64_t time_ns;   /* when it happened, CLOCK_MONOTONIC nanoseconds */
  union {
    tavro_caller_id caller_id;
    struct tavro_dtmf_event dtmf;
    struct tavro_tone_event tone;
    struct tavro_hook_event hook;
    struct tavro_recording_event recording;
    struct tavro_playback_event playback;
    struct tavro_notice_event notice;
    struct tavro_overflow_event overflow;
  } u;
  int64_t wall_time_ns; /* when it happened, CLOCK_REALTIME: nanoseconds since 1970 (UTC) */
} tavro_event;

/* Makes a library object (starts the library, as the C++ constructor) and ends it; null
 * when it cannot be made. tavro_close: 1; -2 null; -3 called from the object's own
 * callback (refused, see above). */
TAVRO_API CKusb_IO* tavro_open(void);
TAVRO_API int tavro_close(CKusb_IO* io);

/* Makes a library object bound to one box, as the C++ constructor CKusb_IO(device) does
 * (tavro/CKusb_IO.h): `device` is the box's path as the device list gives it
 * (tavro_device.path, the path column of `tavro devices`). Null for a null device, or one
 * of no backend's form (neither an absolute path nor "usb:" and a port path, or 256 bytes
 * or longer). A device of the right form that is not there, or that another object or
 * program holds, still gives an object: its link stays down until the box can be had, as
 * tavro_box_in_use_for() tells. Ended with tavro_close(). */
TAVRO_API CKusb_IO* tavro_open_device(const char* device);

/* The descriptor, readable while events wait; owned by the library (do not close or read
 * it), valid until the object ends. -2 for an unknown object. */
TAVRO_API int tavro_events_fd(CKusb_IO* io);

/* 1: the oldest event was moved to *event; 0: none waits (tavro_event_wait: none came
 * within timeout_ms, or the object ended); -2 null arguments or an unknown object.
 * timeout_ms below 0 waits without limit. */
TAVRO_API int tavro_event_take(CKusb_IO* io, tavro_event* event);
TAVRO_API int tavro_event_wait(CKusb_IO* io, tavro_event* event, int timeout_ms);

/* The callback, or null for none. Setting returns 1 once no call of the previous callback
 * runs any more (unless set from within that callback); -2 for an unknown object. */
typedef void (*tavro_event_callback)(CKusb_IO* io, const tavro_event* event, void* user);
TAVRO_API int tavro_events_set_callback(CKusb_IO* io, tavro_event_callback callback, void* user);

/* The last caller-ID record decoded, as the caller-ID event carried it
 * (CKusb_IO::ReadCallerId for C++). 1: written; 0: no caller ID since the library was
 * loaded; -1 link down; -2 null arguments. It does not clear the caller-number bit. */
TAVRO_API int tavro_read_caller_id(CKusb_IO* io, tavro_caller_id* caller_id);

/* AckTelStatus for C: clears the given status bits in one step, returns those that were
 * set. */
TAVRO_API uint32_t tavro_ack_status(CKusb_IO* io, uint32_t mask);

/* An English text for a notice code ("" for an unknown code). */
TAVRO_API const char* tavro_notice_text(int code);

/* The code of one of the library's notice texts, as a notice handler gets it (0 for any
 * other text), so that a handler can show tavro_notice_text instead. */
TAVRO_API int tavro_notice_code(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* TAVRO_EVENTS_H */
