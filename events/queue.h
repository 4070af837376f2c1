// The event queue of one library object: bounded, taken by descriptor, take, wait or a
// callback on a dispatch thread of its own.
#ifndef TAVRO_EVENTS_QUEUE_H
#define TAVRO_EVENTS_QUEUE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>

#include "platform/thread_safety.h"
#include "tavro/events.h"

namespace tavro::events {

class EventQueue : public std::enable_shared_from_this<EventQueue> {
 public:
  EventQueue(CKusb_IO* io, size_t capacity);
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  void push(const tavro_event& event);
  bool take(tavro_event* out);
  // timeoutMs < 0: no limit. False on time-out or once the queue is closed.
  bool wait(tavro_event* out, int timeoutMs);
  void setCallback(tavro_event_callback callback, void* user);
  // Ends the dispatch thread (after a running callback returns; from within a callback the
  // thread ends by itself right after it) and wakes every waiter. Nothing is queued after.
  void close();
  bool onDispatchThread() const;
  int fd() const { return fd_; }

 private:
  bool pendingLocked() const TAVRO_REQUIRES(mutex_) { return dropped_ > 0 || !events_.empty(); }
  bool popLocked(tavro_event* out) TAVRO_REQUIRES(mutex_);
  void updateDescriptorLocked() TAVRO_REQUIRES(mutex_);
  void dispatch();

  CKusb_IO* const io_;
  const size_t capacity_;
  const int fd_;
  mutable Mutex mutex_;
  std::condition_variable changed_;
  std::deque<tavro_event> events_ TAVRO_GUARDED_BY(mutex_);
  uint32_t dropped_ TAVRO_GUARDED_BY(mutex_) = 0;
  uint32_t sequence_ TAVRO_GUARDED_BY(mutex_) = 0;
  bool closed_ TAVRO_GUARDED_BY(mutex_) = false;
  bool signalled_ TAVRO_GUARDED_BY(mutex_) = false;  // the descriptor reads as readable
  tavro_event_callback callback_ TAVRO_GUARDED_BY(mutex_) = nullptr;
  void* user_ TAVRO_GUARDED_BY(mutex_) = nullptr;
  uint64_t generation_ TAVRO_GUARDED_BY(mutex_) = 0;  // counts setCallback calls
  // Of the callback now running, 0 for none.
  uint64_t runningGeneration_ TAVRO_GUARDED_BY(mutex_) = 0;
  std::thread dispatcher_ TAVRO_GUARDED_BY(mutex_);
  std::thread::id dispatcherId_ TAVRO_GUARDED_BY(mutex_);
};

// The queues of the live objects, each with the context whose events it takes (`owner`:
// the object's own context, nullptr for the process's).
void attach(CKusb_IO* io, const void* owner);
void detach(CKusb_IO* io);
std::shared_ptr<EventQueue> queueOf(const CKusb_IO* io);
// Puts the event into the queue of every object of the context `owner` (the library's
// threads call it with the context they work on).
void publish(tavro_event& event, const void* owner);

}  // namespace tavro::events

#endif  // TAVRO_EVENTS_QUEUE_H
