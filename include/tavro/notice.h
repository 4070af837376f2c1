#ifndef TAVRO_NOTICE_H
#define TAVRO_NOTICE_H

#include <functional>
#include <string>

#include "tavro/export.h"

namespace tavro {

// The library tells the user about four conditions: the link-lost message, "NoUsed 0x02",
// "Receive Error!" and "In StopReadSound Error!". It hands the text (UTF-8) to the notice
// handler, one notice at a time and in order, on a thread of its own: the thread that met
// the condition goes on at once, whatever the handler does. A notice equal to the one
// being shown, or to one waiting, is dropped. The default handler writes one line to
// standard error when the output takes it at once, and drops it otherwise (a pipe that
// nobody reads, a terminal on hold).
//
// A handler may wait until its user has answered (a dialog with an OK button), but must
// not touch widgets from the calling thread. Destroying the library object waits at most
// a second for a handler that still shows its notice; after that the handler is left to
// return by itself and later notices go to a new thread. At process exit no handler is
// called any more.
using NoticeHandler = std::function<void(const std::string& text)>;

// Installs a handler; an empty one restores the default. Returns the previous handler once
// no call of it is running any more (so that what it uses may then go), unless it is called
// from within that handler. It therefore must not be called by a thread that the running
// handler waits for.
TAVRO_API NoticeHandler setNoticeHandler(NoticeHandler handler);

// Why the link is down, beside what the status word shows: true when the library's last
// search found a box that another program holds (a box belongs to one program at a time),
// false when it found none or opened one. The link then stays down as with no box; the
// library keeps trying and takes the box once that program has let it go.
TAVRO_API bool boxInUse();

}  // namespace tavro

#endif  // TAVRO_NOTICE_H
