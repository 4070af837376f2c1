#include "device/wait.h"

#include <condition_variable>
#include <mutex>

#include "device/state.h"
#include "platform/platform.h"

namespace tavro {
namespace {

std::atomic<WaitMode> gMode{WaitMode::kEvent};

struct Signal {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t generation = 0;  // guarded by mutex
};

Signal& signal() {
  static Signal s;
  return s;
}

// Waits on the signal until `done` holds or `deadline` passes; true when `done` held.
bool waitUntil(const std::function<bool()>& done, platform::Clock::time_point deadline) {
  Signal& s = signal();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    const uint64_t seen = s.generation;
    // `done` reads atomics only; looking at it under the lock closes the gap between the
    // look and the wait, since every writer bumps the generation under the same lock.
    if (done()) return true;
    if (platform::Clock::now() >= deadline) return false;
    s.changed.wait_until(lock, deadline, [&] { return s.generation != seen; });
  }
}

bool waitForever(const std::function<bool()>& done) {
  Signal& s = signal();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    const uint64_t seen = s.generation;
    if (done()) return true;
    s.changed.wait(lock, [&] { return s.generation != seen; });
  }
}

}  // namespace

void setWaitMode(WaitMode mode) {
  gMode.store(mode);
}
WaitMode waitMode() {
  return gMode.load();
}

void notifyStateChange() {
  Signal& s = signal();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.generation;
  }
  s.changed.notify_all();
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds period, int maxSleeps,
             std::atomic<int32_t>* counter) {
  if (counter) counter->store(0);
  if (done()) return true;
  if (maxSleeps == 0) return false;

  if (gMode.load() == WaitMode::kPoll) {
    for (int slept = 0; maxSleeps == kNoLimit || slept < maxSleeps;) {
      ++slept;
      if (counter) counter->store(slept);
      platform::sleepFor(period);
      if (done()) return true;
    }
    return false;
  }

  const auto start = platform::Clock::now();
  const bool ok = maxSleeps == kNoLimit
                      ? waitForever(done)
                      : waitUntil(done, start + platform::realDuration(period * maxSleeps));
  if (counter) {
    const auto real = platform::realDuration(period);
    const auto elapsed = platform::Clock::now() - start;
    const auto periods = real.count() > 0 ? elapsed / real : 0;
    counter->store(
        static_cast<int32_t>(maxSleeps == kNoLimit || periods < maxSleeps ? periods : maxSleeps));
  }
  return ok;
}

bool waitPolled(const std::function<bool()>& done, std::chrono::milliseconds period, int limit,
                std::atomic<int32_t>* counter) {
  if (waitFor(done, period, limit, counter)) return true;
  platform::sleepFor(period);
  if (counter) counter->store(limit + 1);
  return false;
}

bool napUnless(const std::function<bool()>& wake, std::chrono::milliseconds period) {
  if (wake()) return true;
  if (gMode.load() == WaitMode::kPoll) {
    platform::sleepFor(period);
    return wake();
  }
  return waitUntil(wake, platform::Clock::now() + platform::realDuration(period));
}

}  // namespace tavro
