#include "events/queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "device/event_sink.h"
#include "platform/lasting.h"

namespace tavro::events {
namespace {

struct Entry {
  const CKusb_IO* io;
  const void* owner;
  std::shared_ptr<EventQueue> queue;
};

struct Registry {
  Mutex mutex;
  std::vector<Entry> queues TAVRO_GUARDED_BY(mutex);
};

Registry& registry() {
  return lasting<Registry>();
}

}  // namespace

EventQueue::EventQueue(CKusb_IO* io, size_t capacity)
    : io_(io), capacity_(capacity), fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventQueue::~EventQueue() {
  if (fd_ >= 0) ::close(fd_);
}

// The descriptor's counter is non-zero exactly while events wait: it is raised on the
// first event and drained when the last is taken, both under the queue's lock.
void EventQueue::updateDescriptorLocked() {
  if (fd_ < 0) return;
  const bool want = pendingLocked();
  if (want && !signalled_) {
    const uint64_t one = 1;
    signalled_ = ::write(fd_, &one, sizeof one) == sizeof one;
  } else if (!want && signalled_) {
    uint64_t value = 0;
    signalled_ = ::read(fd_, &value, sizeof value) != sizeof value;
  }
}

void EventQueue::push(const tavro_event& event) {
  {
    MutexLock lock(mutex_);
    if (closed_) return;
    // The oldest go first; the overflow event taken next counts them.
    if (events_.size() >= capacity_) {
      events_.pop_front();
      ++dropped_;
    }
    events_.push_back(event);
    events_.back().sequence = ++sequence_;
    updateDescriptorLocked();
  }
  changed_.notify_all();
}

// The lost events were the oldest, just before the front: the overflow event comes first.
bool EventQueue::popLocked(tavro_event* out) {
  if (dropped_ > 0) {
    std::memset(out, 0, sizeof *out);
    out->kind = TAVRO_EVENT_OVERFLOW;
    stampEvent(*out);
    out->u.overflow.dropped = dropped_;
    dropped_ = 0;
  } else if (!events_.empty()) {
    *out = events_.front();
    events_.pop_front();
  } else {
    return false;
  }
  updateDescriptorLocked();
  return true;
}

bool EventQueue::take(tavro_event* out) {
  MutexLock lock(mutex_);
  return popLocked(out);
}

bool EventQueue::wait(tavro_event* out, int timeoutMs) {
  MutexLock lock(mutex_);
  auto ready = [&]() TAVRO_REQUIRES(mutex_) { return closed_ || pendingLocked(); };
  if (timeoutMs < 0)
    changed_.wait(lock.native(), ready);
  else
    changed_.wait_for(lock.native(), std::chrono::milliseconds(timeoutMs), ready);
  return !closed_ && popLocked(out);
}

void EventQueue::setCallback(tavro_event_callback callback, void* user) {
  MutexLock lock(mutex_);
  callback_ = callback;
  user_ = user;
  const uint64_t mine = ++generation_;
  if (callback && !closed_ && !dispatcher_.joinable()) {
    // The thread keeps the queue alive until it ends, also when it was let go by a close
    // from within its own callback.
    dispatcher_ = std::thread([self = shared_from_this()] { self->dispatch(); });
    dispatcherId_ = dispatcher_.get_id();
  }
  changed_.notify_all();
  if (std::this_thread::get_id() == dispatcherId_) return;
  // The previous callback may still run: wait until it has returned.
  changed_.wait(lock.native(), [&]() TAVRO_REQUIRES(mutex_) {
    return runningGeneration_ == 0 || runningGeneration_ >= mine;
  });
}

void EventQueue::dispatch() {
  MutexLock lock(mutex_);
  for (;;) {
    changed_.wait(lock.native(), [&]() TAVRO_REQUIRES(mutex_) {
      return closed_ || (callback_ != nullptr && pendingLocked());
    });
    if (closed_) break;
    tavro_event event;
    popLocked(&event);
    const tavro_event_callback callback = callback_;
    void* const user = user_;
    runningGeneration_ = generation_;
    lock.unlock();
    callback(io_, &event, user);  // no lock held: the callback may call anything
    lock.lock();
    runningGeneration_ = 0;
    changed_.notify_all();
  }
}

bool EventQueue::onDispatchThread() const {
  MutexLock lock(mutex_);
  return dispatcher_.joinable() && std::this_thread::get_id() == dispatcherId_;
}

void EventQueue::close() {
  std::thread dispatcher;
  {
    MutexLock lock(mutex_);
    closed_ = true;
    events_.clear();
    dropped_ = 0;
    updateDescriptorLocked();
    dispatcher = std::move(dispatcher_);
  }
  changed_.notify_all();
  if (!dispatcher.joinable()) return;
  if (dispatcher.get_id() == std::this_thread::get_id())
    dispatcher.detach();  // it ends when the callback that closed the queue returns
  else
    dispatcher.join();
}

void attach(CKusb_IO* io, const void* owner) {
  auto queue = std::make_shared<EventQueue>(io, TAVRO_EVENT_QUEUE_SIZE);
  Registry& r = registry();
  MutexLock lock(r.mutex);
  r.queues.push_back({io, owner, std::move(queue)});
}

void detach(CKusb_IO* io) {
  std::shared_ptr<EventQueue> queue;
  {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto it = std::find_if(r.queues.begin(), r.queues.end(),
                           [&](const Entry& entry) { return entry.io == io; });
    if (it == r.queues.end()) return;
    queue = std::move(it->queue);
    r.queues.erase(it);
  }
  queue->close();
}

std::shared_ptr<EventQueue> queueOf(const CKusb_IO* io) {
  if (io == nullptr) return nullptr;
  Registry& r = registry();
  MutexLock lock(r.mutex);
  for (const Entry& entry : r.queues)
    if (entry.io == io) return entry.queue;
  return nullptr;
}

void publish(tavro_event& event, const void* owner) {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  for (const Entry& entry : r.queues)
    if (entry.owner == owner) entry.queue->push(event);
}

}  // namespace tavro::events
