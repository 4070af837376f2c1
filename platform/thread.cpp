// Worker threads.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "platform/platform.h"
#include "platform/thread_safety.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVRO_SANITIZED 1
#endif
#endif

namespace tavro::platform {

namespace {

// The smallest stack a thread gets. The documented 10000 bytes for the audio-in thread are
// below Linux's minimum (PTHREAD_STACK_MIN) and too small for the C++ runtime; the
// sanitizers' instrumentation and reports need far more.
#ifdef TAVRO_SANITIZED
constexpr size_t kMinStack = 256 * 1024;
#else
constexpr size_t kMinStack = 64 * 1024;
#endif

size_t stackSizeFor(size_t requested) {
  return std::max({requested, static_cast<size_t>(PTHREAD_STACK_MIN), kMinStack});
}

// Within the normal class: a nice value two below the process's for this thread, else one
// below, else the normal priority (a lower nice value needs a privilege or a nice limit
// the process may lack). Real-time scheduling is not asked for: it made each wakeup dearer.
void raisePriority() {
  const id_t tid = static_cast<id_t>(gettid());
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, tid);
  if (errno != 0) return;
  if (setpriority(PRIO_PROCESS, tid, nice - 2) != 0) setpriority(PRIO_PROCESS, tid, nice - 1);
}

struct Body {
  std::function<void()> fn;
  ThreadPriority priority;
};

void* run(void* arg) {
  std::unique_ptr<Body> body(static_cast<Body*>(arg));
  if (body->priority == ThreadPriority::kHighest) raisePriority();
  if (body->fn) body->fn();
  return nullptr;
}

}  // namespace

void waitWord(std::atomic<uint32_t>& word, uint32_t seen, Clock::time_point deadline) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  auto* address = reinterpret_cast<uint32_t*>(&word);
  if (deadline == Clock::time_point::max()) {
    syscall(SYS_futex, address, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    return;
  }
  // The steady clock is CLOCK_MONOTONIC, which an absolute FUTEX_WAIT_BITSET counts in.
  const auto since = deadline.time_since_epoch();
  if (since.count() <= 0) return;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec at{};
  at.tv_sec = static_cast<time_t>(secs.count());
  at.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since - secs).count());
  syscall(SYS_futex, address, FUTEX_WAIT_BITSET_PRIVATE, seen, &at, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

void wakeWord(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

struct Thread::Impl {
  Mutex mutex;
  pthread_t thread TAVRO_GUARDED_BY(mutex){};
  bool running TAVRO_GUARDED_BY(mutex) = false;  // started and neither joined nor detached
};

Thread::Thread(std::function<void()> fn, ThreadPriority priority, size_t stackSize)
    : impl_(std::make_unique<Impl>()) {
  auto body = std::make_unique<Body>(Body{std::move(fn), priority});
  pthread_attr_t attr;
  bool haveAttr = pthread_attr_init(&attr) == 0;
  if (haveAttr && pthread_attr_setstacksize(&attr, stackSizeFor(stackSize)) != 0) {
    pthread_attr_destroy(&attr);
    haveAttr = false;
  }
  MutexLock lock(impl_->mutex);
  if (pthread_create(&impl_->thread, haveAttr ? &attr : nullptr, run, body.get()) == 0) {
    body.release();  // the thread owns it now
    impl_->running = true;
  }
  if (haveAttr) pthread_attr_destroy(&attr);
}

Thread::~Thread() {
  join();
}

void Thread::join() {
  MutexLock lock(impl_->mutex);
  if (!impl_->running) return;
  impl_->running = false;
  // A thread cannot wait for itself; it ends on its own once its body returns.
  if (pthread_equal(impl_->thread, pthread_self())) {
    pthread_detach(impl_->thread);
  } else {
    pthread_join(impl_->thread, nullptr);
  }
}

void Thread::detach() {
  MutexLock lock(impl_->mutex);
  if (!impl_->running) return;
  impl_->running = false;
  pthread_detach(impl_->thread);
}

bool Thread::joinable() const {
  MutexLock lock(impl_->mutex);
  return impl_->running;
}

}  // namespace tavro::platform
