// Notices: the library's four user messages go to a replaceable handler, on a thread of
// their own, so that no worker thread ever waits for a user or for standard error.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/lasting.h"
#include "platform/platform.h"
#include "platform/thread_safety.h"
#include "tavro/notice.h"

namespace tavro {

namespace {

// At most this many different notices wait at once; more are dropped. The library has
// four texts, so a full queue only ever means a handler that does not return.
constexpr size_t kMaxQueued = 8;
// An idle delivery thread ends after this, so that notices cost no thread between them.
constexpr std::chrono::milliseconds kLinger{250};
// Repeats of a notice within this much library time of its last showing are counted, not
// shown; once it has passed they are shown once, with their count. A box that repeats a
// record without end then costs the user a line a second, not thousands.
constexpr std::chrono::milliseconds kFoldInterval{1000};
// The texts whose last showing is remembered, at most. The library has four texts (one
// with the record type in it); past this, a text is shown without folding.
constexpr size_t kMaxFolds = 512;

// A notice as it is handed on: its text, and how many times it was raised.
struct Notice {
  std::string text;
  uint64_t count = 1;
  platform::NoticeSource source;
};

// Notices are told apart, and folded, by their source's context and their text.
using NoticeKey = std::pair<uint64_t, std::string>;

// What is known of a text shown lately.
struct Fold {
  platform::Clock::time_point shownAt;  // when it was last handed on
  uint64_t repeats = 0;                 // raised since, not handed on yet
};

void afterForkInChild();

// Never destroyed (lasting): threads that are inside a handler at process exit still find it.
struct NoticeQueue {
  NoticeQueue() { pthread_atfork(nullptr, nullptr, afterForkInChild); }

  Mutex mutex;
  std::condition_variable changed;
  NoticeHandler handler TAVRO_GUARDED_BY(mutex);
  uint64_t handlerSerial TAVRO_GUARDED_BY(mutex) = 0;  // counts handler changes

  std::deque<Notice> queue TAVRO_GUARDED_BY(mutex);
  std::map<NoticeKey, Fold> folds TAVRO_GUARDED_BY(mutex);
  // The devices of the sources with folds.
  std::map<uint64_t, std::string> devices TAVRO_GUARDED_BY(mutex);
  std::string showing TAVRO_GUARDED_BY(mutex);  // the notice in the hands of a handler
  bool delivering TAVRO_GUARDED_BY(mutex) = false;
  // The handler serial and the source of the delivery in progress.
  uint64_t deliveringSerial TAVRO_GUARDED_BY(mutex) = 0;
  uint64_t deliveringSource TAVRO_GUARDED_BY(mutex) = 0;

  // The delivery thread, or one that has ended.
  std::unique_ptr<platform::Thread> thread TAVRO_GUARDED_BY(mutex);
  // A parent's threads, copied by fork: kept as they are.
  std::vector<platform::Thread*> inherited TAVRO_GUARDED_BY(mutex);
  uint64_t generation TAVRO_GUARDED_BY(mutex) = 0;  // of the running delivery thread
  bool running TAVRO_GUARDED_BY(mutex) = false;
  bool closed TAVRO_GUARDED_BY(mutex) = false;  // the process exits: no more deliveries
};

NoticeQueue& notices();

// In a child just forked, alone in its process: the delivery thread, and any thread that
// held the lock or waited on the condition, stayed in the parent. The child starts from a
// fresh lock and condition (the copies may be held, or count waiters that never wake) and
// delivers its own notices on a thread of its own; the parent's is never joined here. Alone,
// it needs no lock (the analysis is told so).
void afterForkInChild() TAVRO_NO_THREAD_SAFETY_ANALYSIS {
  NoticeQueue& n = notices();
  new (&n.mutex) Mutex;
  new (&n.changed) std::condition_variable;
  if (n.thread) n.inherited.push_back(n.thread.release());
  n.queue.clear();
  n.folds.clear();
  n.devices.clear();
  n.showing.clear();
  n.delivering = false;
  ++n.generation;
  n.running = false;
}

NoticeQueue& notices() {
  return lasting<NoticeQueue>();
}

thread_local bool tDeliveryThread = false;
// While a handler runs: how many times its notice was raised, and what it is about.
thread_local uint64_t tNoticeCount = 0;
thread_local const platform::NoticeSource* tNoticeSource = nullptr;

platform::Clock::duration foldInterval() {
  return platform::realDuration(kFoldInterval);
}

// A notice equal to one that waits is counted into it; true when it was.
bool joinWaiting(NoticeQueue& n, const NoticeKey& key, uint64_t count) TAVRO_REQUIRES(n.mutex) {
  for (Notice& waiting : n.queue)
    if (waiting.source.id == key.first && waiting.text == key.second) {
      waiting.count += count;
      return true;
    }
  return false;
}

// The raise of a notice: true when it is to be handed on now (queued), false when it was
// counted as a repeat, or dropped.
bool raise(NoticeQueue& n, const std::string& text, const platform::NoticeSource& source,
           platform::Clock::time_point now) TAVRO_REQUIRES(n.mutex) {
  const NoticeKey key{source.id, text};
  auto fold = n.folds.find(key);
  if (fold != n.folds.end() && now - fold->second.shownAt < foldInterval()) {
    ++fold->second.repeats;
    return false;
  }
  uint64_t count = 1;
  if (fold != n.folds.end()) {
    count += fold->second.repeats;
    fold->second = Fold{now, 0};
  } else {
    if (n.folds.size() >= kMaxFolds)
      std::erase_if(n.folds, [&](const auto& f) {
        return f.second.repeats == 0 && now - f.second.shownAt >= foldInterval();
      });
    if (n.folds.size() < kMaxFolds) {
      n.folds.emplace(key, Fold{now, 0});
      n.devices[source.id] = source.device;
    }
  }
  if (joinWaiting(n, key, count) || n.queue.size() >= kMaxQueued) return false;
  n.queue.push_back(Notice{text, count, source});
  return true;
}

// The repeats whose time has come (all of them when `all`) are queued with their count;
// the notices are returned; those of one source only when `only` is given.
std::vector<Notice> queueRepeats(NoticeQueue& n, platform::Clock::time_point now, bool all,
                                 const uint64_t* only = nullptr) TAVRO_REQUIRES(n.mutex) {
  std::vector<Notice> queued;
  for (auto& [key, fold] : n.folds) {
    if (fold.repeats == 0 || (!all && now - fold.shownAt < foldInterval())) continue;
    if (only != nullptr && key.first != *only) continue;
    const uint64_t count = fold.repeats;
    fold = Fold{now, 0};
    if (joinWaiting(n, key, count) || n.queue.size() >= kMaxQueued) continue;
    const Notice notice{key.second, count, {key.first, n.devices[key.first]}};
    n.queue.push_back(notice);
    queued.push_back(notice);
  }
  return queued;
}

// When the first repeats waiting are due, if any.
std::optional<platform::Clock::time_point> repeatsDue(const NoticeQueue& n)
    TAVRO_REQUIRES(n.mutex) {
  std::optional<platform::Clock::time_point> due;
  for (const auto& [text, fold] : n.folds)
    if (fold.repeats > 0 && (!due || fold.shownAt + foldInterval() < *due))
      due = fold.shownAt + foldInterval();
  return due;
}

void observe(const std::string& text, const platform::NoticeSource& source) {
  platform::noticeShown(text, source);
}

// Writes what fits at once; true when all of it was written.
bool writeSome(int fd, const char* p, size_t left) {
  while (left > 0) {
    const ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

// One line on standard error, or nothing when it cannot be written at once: a pipe that
// nobody reads, or a terminal on hold, never holds a thread of the library. A notice raised
// more than once says how often.
void writeToStandardError(const std::string& text, uint64_t count = 1) {
  const std::string line =
      "tavro: " + text + (count > 1 ? " (" + std::to_string(count) + " times)" : "") + "\n";
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return;
  if (S_ISSOCK(st.st_mode)) {
    ::send(STDERR_FILENO, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return;
  }
  if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) {
    writeSome(STDERR_FILENO, line.data(), line.size());  // a file: never waits for a reader
    return;
  }
  // Pipes and terminals: a non-blocking open of our own, so that the mode of the
  // descriptor shared with other programs stays as it is. One write: a line within
  // PIPE_BUF goes into a pipe whole or not at all, and never interleaves.
  const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    writeSome(fd, line.data(), line.size());
    ::close(fd);
    return;
  }
  if (errno == ENXIO) return;  // a pipe without a reader
  // No /proc, or no right to open it: write only when the output takes a line now.
  pollfd out{STDERR_FILENO, POLLOUT, 0};
  if (line.size() <= PIPE_BUF && ::poll(&out, 1, 0) == 1 && (out.revents & POLLOUT))
    writeSome(STDERR_FILENO, line.data(), line.size());
}

void deliveryLoop(uint64_t generation) {
  tDeliveryThread = true;
  // The application's signals (an end request, a broken pipe) are not for this thread.
  sigset_t all;
  sigfillset(&all);
  for (int sync : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&all, sync);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);

  NoticeQueue& n = notices();
  MutexLock lock(n.mutex);
  for (;;) {
    if (n.generation != generation) return;  // stopped, or left behind in a handler
    // Repeats whose second has passed are shown now; the thread stays while some wait.
    const std::vector<Notice> repeated = queueRepeats(n, platform::Clock::now(), false);
    if (!repeated.empty()) {
      lock.unlock();
      for (const Notice& notice : repeated) observe(notice.text, notice.source);
      lock.lock();
      continue;
    }
    if (n.queue.empty()) {
      if (const auto due = repeatsDue(n)) {
        n.changed.wait_until(lock.native(), *due);
      } else if (!n.changed.wait_for(lock.native(), kLinger, [&]() TAVRO_REQUIRES(n.mutex) {
                   return !n.queue.empty() || n.generation != generation || repeatsDue(n);
                 })) {  // idle: the next notice starts a new thread
        n.running = false;
        n.changed.notify_all();
        return;
      }
      continue;
    }
    const Notice notice = std::move(n.queue.front());
    n.queue.pop_front();
    n.showing = notice.text;
    n.delivering = true;
    n.deliveringSerial = n.handlerSerial;
    n.deliveringSource = notice.source.id;
    const NoticeHandler handler = n.handler;
    lock.unlock();
    // Outside the lock: a handler may wait for its user, and may install another handler.
    if (handler) {
      tNoticeCount = notice.count;
      tNoticeSource = &notice.source;
      handler(notice.text);
      tNoticeSource = nullptr;
      tNoticeCount = 0;
    } else {
      writeToStandardError(notice.text, notice.count);
    }
    lock.lock();
    if (n.generation != generation) return;  // a stop has forgotten this delivery
    n.showing.clear();
    n.delivering = false;
    n.changed.notify_all();
  }
}

void startDelivery(NoticeQueue& n) TAVRO_REQUIRES(n.mutex) {
  // A thread that ended for want of work has left the lock for good: joining it is quick.
  if (n.thread) n.thread->join();
  const uint64_t generation = ++n.generation;
  n.running = true;
  n.thread = std::make_unique<platform::Thread>([generation] { deliveryLoop(generation); },
                                                platform::ThreadPriority::kNormal, 0);
}

// The stop of the notices of one source (`only`), or of all: what is waiting, repeats too,
// is still delivered within the limit; after the stop none of them counts as a repeat of
// one before it. The thread ends unless it still has others' notices to deliver; one that
// is inside a handler with a notice of the stopped source is left to return by itself, and
// the others' notices go on on a new thread.
bool stopNoticesOf(std::chrono::milliseconds limit, const uint64_t* only) {
  NoticeQueue& n = notices();
  MutexLock lock(n.mutex);
  auto ours = [&](uint64_t id) { return only == nullptr || id == *only; };
  queueRepeats(n, platform::Clock::now(), true, only);
  std::erase_if(n.folds, [&](const auto& f) { return ours(f.first.first); });
  std::erase_if(n.devices, [&](const auto& d) { return ours(d.first); });
  auto oursPending = [&]() TAVRO_REQUIRES(n.mutex) {
    for (const Notice& q : n.queue)
      if (ours(q.source.id)) return true;
    return n.delivering && ours(n.deliveringSource);
  };
  if (n.running && limit.count() > 0)
    n.changed.wait_for(lock.native(), platform::realDuration(limit),
                       [&]() TAVRO_REQUIRES(n.mutex) { return !oursPending(); });
  const bool inHandler = n.running && n.delivering && ours(n.deliveringSource);
  std::erase_if(n.queue, [&](const Notice& q) { return ours(q.source.id); });
  const bool othersWait = !n.queue.empty() || repeatsDue(n) || (n.delivering && !inHandler);
  if (n.running && othersWait && !inHandler) return true;  // it goes on for the others
  std::unique_ptr<platform::Thread> thread = std::move(n.thread);
  if (n.running) {
    n.showing.clear();
    n.delivering = false;
    ++n.generation;
    n.running = false;
    if (othersWait) startDelivery(n);
    n.changed.notify_all();
  }
  lock.unlock();
  if (!thread) return true;
  // A handler that still shows its notice keeps its thread; it ends when the handler returns.
  if (inHandler)
    thread->detach();
  else
    thread->join();
  return !inHandler;
}

// At exit: no handler is called any more (what it uses may be gone); the default output
// still takes a notice, written at once by the thread that raises it.
void closeAtExit() {
  NoticeQueue& n = notices();
  {
    MutexLock lock(n.mutex);
    n.closed = true;
  }
  platform::stopNotices(std::chrono::milliseconds(0));
}

}  // namespace

namespace platform {

NoticeHandler installNoticeHandler(NoticeHandler handler) {
  NoticeQueue& n = notices();
  MutexLock lock(n.mutex);
  NoticeHandler previous = std::move(n.handler);
  n.handler = std::move(handler);
  const uint64_t serial = ++n.handlerSerial;
  // The replaced handler is not called after this returns: wait for a call of it that is
  // still running, unless it is this very call (a handler that replaces itself).
  if (!tDeliveryThread)
    n.changed.wait(lock.native(), [&]() TAVRO_REQUIRES(n.mutex) {
      return !n.delivering || n.deliveringSerial >= serial;
    });
  return previous;
}

uint64_t noticeCount() {
  return tNoticeCount;
}

const NoticeSource* noticeSource() {
  return tNoticeSource;
}

void showNotice(const std::string& text, const NoticeSource& source) {
  NoticeQueue& n = notices();
  MutexLock lock(n.mutex);
  if (n.closed) {
    const bool byDefault = !n.handler;
    lock.unlock();
    observe(text, source);
    if (byDefault) writeToStandardError(text);
    return;
  }
  static const bool closing = std::atexit(closeAtExit) == 0;
  (void)closing;
  const bool handedOn = raise(n, text, source, platform::Clock::now());
  if (!n.running) startDelivery(n);
  n.changed.notify_all();
  lock.unlock();
  if (handedOn) observe(text, source);
}

bool awaitNoticesDelivered(std::chrono::milliseconds limit) {
  NoticeQueue& n = notices();
  MutexLock lock(n.mutex);
  return n.changed.wait_for(lock.native(), limit, [&]() TAVRO_REQUIRES(n.mutex) {
    return n.queue.empty() && !n.delivering && !repeatsDue(n);
  });
}

bool stopNotices(std::chrono::milliseconds limit) {
  return stopNoticesOf(limit, nullptr);
}

bool stopNotices(std::chrono::milliseconds limit, uint64_t source) {
  return stopNoticesOf(limit, &source);
}

}  // namespace platform
}  // namespace tavro
