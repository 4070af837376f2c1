#ifndef TAVRO_NOTICE_H
#define TAVRO_NOTICE_H

#include <functional>
#include <string>

#include "tavro/export.h"

namespace tavro {

// The library tells the user about four conditions: the link-lost message, "NoUsed 0x02",
// "Receive Error!" and "In StopReadSound Error!". It hands the text (UTF-8) to the notice
// handler on the thread that raised it; that thread waits until the handler returns, as
// it would for a message box with an OK button. The default handler writes one line to
// standard error and returns at once.
//
// The handler runs on the library's worker threads: it must not touch widgets directly,
// and it must return once the user has answered. Stopping the library waits for a
// handler that is still showing its notice.
using NoticeHandler = std::function<void(const std::string& text)>;

// Installs a handler; an empty one restores the default. Returns the previous handler.
TAVRO_API NoticeHandler setNoticeHandler(NoticeHandler handler);

}  // namespace tavro

#endif  // TAVRO_NOTICE_H
