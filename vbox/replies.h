// Reply scheduling: the records waiting for the reply pipe, the answers that are held back
// by an answer delay, and the go-aheads of playback that come due one per block.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "vbox/wire_types.h"

namespace tavro::vbox {

class ReplySchedule {
 public:
  static constexpr size_t kMaxQueued = 4096;  // records; beyond that the host is not reading

  // Queues a record for the reply pipe (dropped when the queue is full).
  void push(const Record& record);
  // Queues an answer now, or holds it back until `delay` has passed.
  void answer(const Record& record, std::chrono::milliseconds delay, Clock::time_point now);
  void goAheadAt(Clock::time_point due) { goAheads_.push_back(due); }
  void cancelGoAheads() { goAheads_.clear(); }

  // Queues what has come due; while the reply pipe has no connection it is dropped. Gives
  // the number of go-aheads queued.
  size_t moveDue(Clock::time_point now, bool connected);
  // When the next held-back answer or go-aheads come due (time_point::max() when none).
  Clock::time_point nextDue() const;

  bool waiting() const { return !queue_.empty(); }
  uint64_t dropped() const { return dropped_; }  // records a full queue refused, ever
  std::optional<Record> front() const;
  void pop();
  void dropQueued() { queue_.clear(); }  // meant for a connection that has gone
  void clear();                          // everything, also what is held back

 private:
  std::deque<Record> queue_;                       // waiting for the reply pipe to take them
  std::multimap<Clock::time_point, Record> late_;  // held-back answers
  std::deque<Clock::time_point> goAheads_;         // due times of go-ahead records
  uint64_t dropped_ = 0;
};

}  // namespace tavro::vbox
