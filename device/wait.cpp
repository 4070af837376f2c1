#include "device/wait.h"

#include <condition_variable>
#include <mutex>

#include "device/lasting.h"
#include "device/signalled.h"
#include "platform/platform.h"

namespace tavro {
namespace {

std::atomic<WaitMode> gMode{WaitMode::kEvent};
std::atomic<uint64_t> gWakeups{0};

void sleepCounted(std::chrono::milliseconds period) {
  platform::sleepFor(period);
  gWakeups.fetch_add(1, std::memory_order_relaxed);
}

struct Signal {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t generation = 0;  // guarded by mutex
};

// Never destroyed: threads may still wait on it while the process exits (destroying a
// condition variable that has waiters blocks for ever).
Signal& signal() {
  return lasting<Signal>();
}

// The batch this thread is inside: how deep, and whether a change within it is to be
// signalled at its end. The outermost batch holds the signal's lock.
thread_local int tBatchDepth = 0;
thread_local bool tBatchChanged = false;

// One look at `done`, the signal's lock held by the caller, so that it never falls inside
// a batch. A change that `done` makes itself (taking a turn) is signalled as a batch's is.
bool lookHeld(Signal& s, const std::function<bool()>& done) {
  ++tBatchDepth;
  tBatchChanged = false;
  const bool result = done();
  --tBatchDepth;
  if (tBatchChanged) {
    tBatchChanged = false;
    ++s.generation;
    s.changed.notify_all();
  }
  return result;
}

bool lookLocked(const std::function<bool()>& done) {
  Signal& s = signal();
  std::lock_guard<std::mutex> lock(s.mutex);
  return lookHeld(s, done);
}

// Waits on the signal until `done` holds or `deadline` passes; true when `done` held.
bool waitUntil(const std::function<bool()>& done, platform::Clock::time_point deadline) {
  Signal& s = signal();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    const uint64_t seen = s.generation;
    // Looking at `done` under the lock closes the gap between the look and the wait, since
    // every writer bumps the generation under the same lock.
    if (lookHeld(s, done)) return true;
    if (platform::Clock::now() >= deadline) return false;
    s.changed.wait_until(lock, deadline, [&] { return s.generation != seen; });
    gWakeups.fetch_add(1, std::memory_order_relaxed);
  }
}

bool waitForever(const std::function<bool()>& done) {
  Signal& s = signal();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    const uint64_t seen = s.generation;
    if (lookHeld(s, done)) return true;
    s.changed.wait(lock, [&] { return s.generation != seen; });
    gWakeups.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

void setWaitMode(WaitMode mode) {
  gMode.store(mode);
}
WaitMode waitMode() {
  return gMode.load();
}

uint64_t waitWakeups() {
  return gWakeups.load(std::memory_order_relaxed);
}

void notifyStateChange() {
  if (tBatchDepth > 0) {
    tBatchChanged = true;
    return;
  }
  Signal& s = signal();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.generation;
  }
  s.changed.notify_all();
}

SignalBatch::SignalBatch() {
  if (tBatchDepth++ == 0) {
    signal().mutex.lock();
    tBatchChanged = false;
  }
}

SignalBatch::~SignalBatch() {
  if (--tBatchDepth > 0) return;
  Signal& s = signal();
  const bool changed = tBatchChanged;
  if (changed) ++s.generation;
  s.mutex.unlock();
  if (changed) s.changed.notify_all();
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds period, int maxSleeps,
             std::atomic<int32_t>* counter) {
  if (counter) counter->store(0);
  if (lookLocked(done)) return true;
  if (maxSleeps == 0) return false;

  if (gMode.load() == WaitMode::kPoll) {
    for (int slept = 0; maxSleeps == kNoLimit || slept < maxSleeps;) {
      ++slept;
      if (counter) counter->store(slept);
      sleepCounted(period);
      if (lookLocked(done)) return true;
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
  sleepCounted(period);
  if (counter) counter->store(limit + 1);
  return false;
}

bool napUnless(const std::function<bool()>& wake, std::chrono::milliseconds period) {
  if (lookLocked(wake)) return true;
  if (gMode.load() == WaitMode::kPoll) {
    sleepCounted(period);
    return lookLocked(wake);
  }
  return waitUntil(wake, platform::Clock::now() + platform::realDuration(period));
}

}  // namespace tavro
