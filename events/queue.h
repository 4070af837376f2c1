// The event queue of one library object: bounded, taken by descriptor, take, wait or a
// callback on a dispatch thread of its own.
#ifndef TAVRO_EVENTS_QUEUE_H
#define TAVRO_EVENTS_QUEUE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

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
  bool pendingLocked() const { return dropped_ > 0 || !events_.empty(); }
  bool popLocked(tavro_event* out);
  void updateDescriptorLocked();
  void dispatch();

  CKusb_IO* const io_;
  const size_t capacity_;
  const int fd_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<tavro_event> events_;
  uint32_t dropped_ = 0;
  uint32_t sequence_ = 0;
  bool closed_ = false;
  bool signalled_ = false;  // the descriptor reads as readable
  tavro_event_callback callback_ = nullptr;
  void* user_ = nullptr;
  uint64_t generation_ = 0;         // counts setCallback calls
  uint64_t runningGeneration_ = 0;  // of the callback now running, 0 for none
  std::thread dispatcher_;
  std::thread::id dispatcherId_;
};

// The queues of the live objects.
void attach(CKusb_IO* io);
void detach(CKusb_IO* io);
std::shared_ptr<EventQueue> queueOf(const CKusb_IO* io);
// Puts the event into every object's queue (the library's threads call it).
void publish(tavro_event& event);

}  // namespace tavro::events

#endif  // TAVRO_EVENTS_QUEUE_H
