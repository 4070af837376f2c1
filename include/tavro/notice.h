/* Notices, and why the link is down, for C and C++.
 *
 * The library tells the user about four conditions: the link-lost message, "NoUsed 0x02",
 * "Receive Error!" and "In StopReadSound Error!". It hands the text (UTF-8) to the notice
 * handler, one notice at a time and in order, on a thread of its own: the thread that met
 * the condition goes on at once, whatever the handler does. The handler is the process's,
 * for every object; tavro_notice_device() says which box a notice is about. A notice equal
 * to one waiting (the same text about the same box) is counted into it. Repeats of a notice
 * within a second of its last showing are
 * counted, not shown: once the second has passed the handler gets the notice once more,
 * and tavro_notice_count() says how many times it was raised (a box that repeats a record
 * without end thus costs a call a second; the notice event, tavro/events.h, comes with
 * each call). The default handler writes one line to standard error, with the count when
 * it is above one ("tavro: NoUsed 0x02 (120 times)"), when the output takes it at once,
 * and drops it otherwise (a pipe that nobody reads, a terminal on hold).
 * tavro_notice_code() and tavro_notice_text() (tavro/events.h) give a notice's code and an
 * English text for it.
 *
 * A handler may wait until its user has answered (a dialog with an OK button), but must
 * not touch widgets from the calling thread. Destroying the library object waits at most
 * a second for a handler that still shows a notice of its own; after that the handler is left to
 * return by itself and later notices go to a new thread. At process exit no handler is
 * called any more.
 *
 * Installing a handler returns once no call of the previous one is running any more (so
 * that what it uses may then go), unless it is installed from within that handler. It
 * therefore must not be installed by a thread that the running handler waits for.
 */
#ifndef TAVRO_NOTICE_H
#define TAVRO_NOTICE_H

#include "tavro/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A notice handler for C: the notice's code (enum tavro_notice_code, 0 for a text the
 * library does not know), its text as the library gives it, and the pointer given with
 * the handler. */
typedef void (*tavro_notice_handler)(int code, const char* text, void* user);

/* Installs a handler with its pointer; null restores the default. Returns 1. */
TAVRO_API int tavro_set_notice_handler(tavro_notice_handler handler, void* user);

/* Within a notice handler: how many times the notice it was given was raised, 1 or more
 * (repeats folded into this call); 0 outside a handler. */
TAVRO_API int tavro_notice_count(void);

/* Within a notice handler: the path of the box the notice is about (the device an object
 * is bound to, or the box the default object holds), valid until the handler returns; null
 * outside a handler and for a notice about no box. Notices about different boxes are
 * different notices: they are neither joined nor counted into each other's repeats. */
TAVRO_API const char* tavro_notice_device(void);

/* Why the link is down, beside what the status word shows: 1 when the library's last
 * search found a box that another program holds (a box belongs to one program at a time),
 * 0 when it found none or opened one. The link then stays down as with no box; the
 * library keeps trying and takes the box once that program has let it go. When
 * tavro_open() returns, the first search is done. */
TAVRO_API int tavro_box_in_use(void);

/* The same for one object: for an object bound to a box (tavro_open_device()), 1 when
 * that box is held by another program or by another object of this one; for the default
 * object, or null, what tavro_box_in_use() says. */
TAVRO_API int tavro_box_in_use_for(CKusb_IO* io);

#ifdef __cplusplus
}

#include <functional>
#include <string>

namespace tavro {

// The handler for C++. setNoticeHandler installs one (an empty one restores the default)
// and returns the previous one.
using NoticeHandler = std::function<void(const std::string& text)>;
TAVRO_API NoticeHandler setNoticeHandler(NoticeHandler handler);

// tavro_box_in_use() and tavro_box_in_use_for() for C++.
TAVRO_API bool boxInUse();
TAVRO_API bool boxInUse(const CKusb_IO& io);

// tavro_notice_device() for C++: empty where it gives null.
TAVRO_API std::string noticeDevice();

}  // namespace tavro
#endif

#endif /* TAVRO_NOTICE_H */
