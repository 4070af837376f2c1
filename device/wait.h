// The one wait primitive of the library.
//
// The documented algorithms poll a flag with sleeps: look, and after every sleep of one
// period look again, up to a limit of sleeps. waitFor() keeps that contract (the same
// looks, the same total time) but, in the event-driven mode, sleeps until an item its
// condition read at its last look changes (device/signalled.h), so that a waiter wakes as
// soon as its flag changes, a change wakes no thread that does not read it, and an idle
// library does not wake at all. The polling mode does
// exactly what the documented algorithms do, for benchmarks that compare the two.
#ifndef TAVRO_DEVICE_WAIT_H
#define TAVRO_DEVICE_WAIT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace tavro {

enum class WaitMode { kEvent, kPoll };
void setWaitMode(WaitMode mode);
WaitMode waitMode();

inline constexpr int kNoLimit = -1;

// `done` runs under the primitive's lock, so that it never sees half of a SignalBatch. It
// reads state; a change it makes itself (taking a turn) wakes the others as any change
// does. It must not wait. What it reads that can change while it waits must be
// Signalled items (read directly or through helpers): nothing else wakes it before its
// time is up.
//
// Looks at `done` now and after each of up to `maxSleeps` periods (kNoLimit: no limit).
// Returns true as soon as `done` holds, false when the limit has passed without it.
// `counter`, when given, is set to 0 and counts the periods slept (the poll counter).
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds period, int maxSleeps,
             std::atomic<int32_t>* counter = nullptr);

// The documented poll loop with a limit: look now; then, up to `limit` times, sleep one
// period and look again; after one more period give up. An answer is thus noticed after
// 0 to `limit` periods and a time-out costs limit + 1 periods, in both modes.
bool waitPolled(const std::function<bool()>& done, std::chrono::milliseconds period, int limit,
                std::atomic<int32_t>* counter = nullptr);

// Looks at `done` now and whenever what it reads changes, until `deadline` (real time); the
// polling mode sleeps to the deadline and looks once more. Returns whether `done` held.
bool waitUntilTime(const std::function<bool()>& done,
                   std::chrono::steady_clock::time_point deadline);

// Sleeps one period unless `wake` holds or becomes true meanwhile: the worker threads'
// idle step. Returns whether `wake` held.
bool napUnless(const std::function<bool()>& wake, std::chrono::milliseconds period);

class SignalledItem;
// How many waits in progress are woken by changes of `item` (their last look read it): a
// test hook.
uint32_t waitsReading(const SignalledItem& item);

// How often a thread waiting in the primitive has woken up (a sleep ended, or a signal or
// deadline woke it) since the process started: the idle cost of the library's threads.
uint64_t waitWakeups();

}  // namespace tavro

#endif  // TAVRO_DEVICE_WAIT_H
