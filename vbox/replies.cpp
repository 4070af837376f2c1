#include "vbox/replies.h"

#include <algorithm>

#include "vbox/records.h"

namespace tavro::vbox {

void ReplySchedule::push(const Record& record) {
  if (queue_.size() < kMaxQueued)
    queue_.push_back(record);
  else
    ++dropped_;
}

void ReplySchedule::answer(const Record& record, std::chrono::milliseconds delay,
                           Clock::time_point now) {
  if (delay.count() > 0)
    late_.emplace(now + delay, record);
  else
    push(record);
}

size_t ReplySchedule::moveDue(Clock::time_point now, bool connected) {
  while (!late_.empty() && late_.begin()->first <= now) {
    if (connected) push(late_.begin()->second);
    late_.erase(late_.begin());
  }
  size_t goAheads = 0;
  while (!goAheads_.empty() && goAheads_.front() <= now) {
    goAheads_.pop_front();
    if (!connected) continue;
    push(makeRecord({kReadyReply, 0}));
    ++goAheads;
  }
  return goAheads;
}

Clock::time_point ReplySchedule::nextDue() const {
  Clock::time_point due = Clock::time_point::max();
  if (!late_.empty()) due = late_.begin()->first;
  if (!goAheads_.empty()) due = std::min(due, goAheads_.front());
  return due;
}

std::optional<Record> ReplySchedule::front() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.front();
}

void ReplySchedule::pop() {
  if (!queue_.empty()) queue_.pop_front();
}

void ReplySchedule::clear() {
  queue_.clear();
  late_.clear();
  goAheads_.clear();
}

}  // namespace tavro::vbox
