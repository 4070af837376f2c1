// The library's events as the tool reports them: one plain line or one JSON object each.
#ifndef TAVRO_TOOLS_EVENT_TEXT_H
#define TAVRO_TOOLS_EVENT_TEXT_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "tavro/events.h"

namespace tavro::tool {

// One event as the tool reports it: its name ("call", "dtmf", "link", ...), its fields as
// the body of a JSON object without braces, its plain text, and when it happened.
struct Event {
  const char* name;
  std::string fields;
  std::string text;
  std::chrono::system_clock::time_point when = std::chrono::system_clock::now();
};

// "07:51:04.530 call 5551234", or the JSON object of the event, with the local time of
// `e.when`. With a `device`, the box's path follows the time ("07:51:04.530 /run/.../box0
// call 5551234"; in JSON the field "device").
std::string eventLine(const Event& e, bool json, std::string_view device = {});

// Turns the library's events into what the tool reports, in their order; watch and the
// console both report through it. A link or hook change that repeats the state last
// reported is dropped (a library started again learns the hook state anew); the first time
// the link comes up it is "up", afterwards "back".
class EventReport {
 public:
  // Nothing for an event that is not reported (see above); `monotonicNow` is the clock
  // of tavro_event::time_ns now, to date the event on the wall clock.
  std::optional<Event> describe(const tavro_event& e, int64_t monotonicNow);

 private:
  bool up_ = false;
  bool everUp_ = false;
  int hook_ = -1;  // 1 off hook, 0 on hook as last reported; -1 none yet
};

// CLOCK_MONOTONIC in nanoseconds, the clock of tavro_event::time_ns.
int64_t monotonicNanoseconds();

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_EVENT_TEXT_H
