// Notices: the library's four user messages go to a replaceable handler.
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "tavro/notice.h"

namespace tavro {

namespace {

std::mutex gNoticeMutex;
NoticeHandler gNoticeHandler;

// One write() for the whole notice, so that notices from several threads do not interleave.
void writeToStandardError(const std::string& text) {
  const std::string line = "tavro: " + text + "\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

NoticeHandler setNoticeHandler(NoticeHandler handler) {
  std::lock_guard<std::mutex> lock(gNoticeMutex);
  NoticeHandler previous = std::move(gNoticeHandler);
  gNoticeHandler = std::move(handler);
  return previous;
}

namespace platform {

void showNotice(const std::string& text) {
  NoticeHandler handler;
  {
    std::lock_guard<std::mutex> lock(gNoticeMutex);
    handler = gNoticeHandler;
  }
  // Called outside the lock: a handler blocks until the user answers, and may itself
  // install another handler.
  if (handler) {
    handler(text);
  } else {
    writeToStandardError(text);
  }
}

}  // namespace platform
}  // namespace tavro
