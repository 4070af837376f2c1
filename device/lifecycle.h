// The library's start and stop: its threads and the objects that hold a start of it, a
// component of the library context (library/context.h).
#ifndef TAVRO_DEVICE_LIFECYCLE_H
#define TAVRO_DEVICE_LIFECYCLE_H

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/thread_safety.h"

class CKusb_IO;

namespace tavro {

// Starting and stopping are serialised by its mutex. Not reset: it lasts from start to stop
// and is left as a stop leaves it.
struct Lifecycle {
  Mutex mutex;
  // The process that started the library, 0 while it is not running. A child forked from
  // it has copies of the flags and descriptors but none of the threads: the sockets and
  // the box are still the parent's, so nothing in the child may stop or use them.
  std::atomic<pid_t> startedBy{0};
  std::vector<CKusb_IO*> holders TAVRO_GUARDED_BY(mutex);
  std::unique_ptr<platform::Thread> monitor TAVRO_GUARDED_BY(mutex);
  std::unique_ptr<platform::Thread> replyReader TAVRO_GUARDED_BY(mutex);
  std::unique_ptr<platform::Thread> commandWriter TAVRO_GUARDED_BY(mutex);
  std::unique_ptr<platform::Thread> audioIn TAVRO_GUARDED_BY(mutex);
  std::unique_ptr<platform::Thread> audioOut TAVRO_GUARDED_BY(mutex);
  // The backends, from the start to the stop: a device that comes or goes is told of.
  std::unique_ptr<platform::BackendHold> backends TAVRO_GUARDED_BY(mutex);
};

// The lifecycle of the library context in use.
Lifecycle& lifecycle();

}  // namespace tavro

#endif  // TAVRO_DEVICE_LIFECYCLE_H
