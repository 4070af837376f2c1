#include "device/wait.h"

#include <algorithm>
#include <array>
#include <thread>

#include "device/signalled.h"
#include "platform/lasting.h"
#include "platform/platform.h"
#include "platform/thread_safety.h"

namespace tavro {

// The items one look read. A condition that reads more than it holds counts as reading
// every item (none of the library's comes near).
class ReadSet {
 public:
  static constexpr size_t kMaxItems = 16;
  void clear() {
    count_ = 0;
    overflow_ = false;
  }
  void add(const SignalledItem* item) {
    if (contains(item)) return;
    if (count_ < kMaxItems)
      items_[count_++] = item;
    else
      overflow_ = true;
  }
  void removeAt(size_t i) { items_[i] = items_[--count_]; }
  bool contains(const SignalledItem* item) const {
    return std::find(items_.begin(), items_.begin() + count_, item) != items_.begin() + count_;
  }
  // Whether a change of `item` may change what the look found.
  bool reads(const SignalledItem* item) const { return overflow_ || contains(item); }
  size_t size() const { return count_; }
  const SignalledItem* operator[](size_t i) const { return items_[i]; }
  bool overflow() const { return overflow_; }
  void setOverflow(bool overflow) { overflow_ = overflow; }

 private:
  std::array<const SignalledItem*, kMaxItems> items_{};
  size_t count_ = 0;
  bool overflow_ = false;
};

constinit thread_local ReadSet* tLookReads = nullptr;

void noteRead(ReadSet& reads, const SignalledItem* item) noexcept {
  reads.add(item);
}

namespace {

std::atomic<WaitMode> gMode{WaitMode::kEvent};
std::atomic<uint64_t> gWakeups{0};

void sleepCounted(std::chrono::milliseconds period) {
  platform::sleepFor(period);
  gWakeups.fetch_add(1, std::memory_order_relaxed);
}

// What a sleeping wait is woken through: a word that each wakeup counts up. Slots are
// never destroyed, so that a waker may still touch one whose wait has just ended (that
// wait, or the next one to use the slot, then merely looks again).
struct Slot {
  std::atomic<uint32_t> word{0};
  Slot* nextFree = nullptr;
};

// One wait in progress: what it is registered on, and how it is woken.
struct WaitRecord {
  ReadSet registered;
  Slot* slot = nullptr;
  WaitRecord* next = nullptr;
  WaitRecord* prev = nullptr;
};

}  // namespace

// The waits in progress and the items they read. Its lock is held while a condition is
// looked at, while a batch lasts, and while waits are registered or woken.
class WaitRegistry {
 public:
  Mutex mutex;

  // Waits whose condition read more than a ReadSet holds: every change wakes them.
  std::atomic<uint32_t> readsAll{0};

  void insert(WaitRecord& w) TAVRO_REQUIRES(mutex) {
    w.slot = takeSlot();
    w.next = waits_;
    w.prev = nullptr;
    if (waits_) waits_->prev = &w;
    waits_ = &w;
  }
  void remove(WaitRecord& w) TAVRO_REQUIRES(mutex) {
    follow(w, ReadSet{});
    if (w.prev)
      w.prev->next = w.next;
    else
      waits_ = w.next;
    if (w.next) w.next->prev = w.prev;
    w.slot->nextFree = freeSlots_;
    freeSlots_ = w.slot;
    w.slot = nullptr;
  }
  // Registers `w` on what the last look read, and on nothing else (an item it no longer
  // reads may be gone before the wait ends). True when it is registered on something new:
  // a change made between that look and now woke nobody, so it must look again.
  bool follow(WaitRecord& w, const ReadSet& reads) TAVRO_REQUIRES(mutex) {
    for (size_t i = w.registered.size(); i-- > 0;) {
      if (reads.contains(w.registered[i])) continue;
      itemWaits(w.registered[i]).fetch_sub(1);
      w.registered.removeAt(i);
    }
    bool added = false;
    for (size_t i = 0; i < reads.size(); ++i) {
      if (w.registered.contains(reads[i])) continue;
      w.registered.add(reads[i]);
      itemWaits(reads[i]).fetch_add(1);
      added = true;
    }
    if (reads.overflow() != w.registered.overflow()) {
      w.registered.setOverflow(reads.overflow());
      if (reads.overflow()) {
        readsAll.fetch_add(1);
        added = true;
      } else {
        readsAll.fetch_sub(1);
      }
    }
    return added;
  }
  // Counts up the word of every wait that reads one of `items`, and collects their slots
  // for the wake after the lock is released.
  template <typename Reads>
  void mark(Reads reads, std::array<Slot*, 8>& slots, size_t& slotCount, bool& wakeAll)
      TAVRO_REQUIRES(mutex) {
    for (WaitRecord* w = waits_; w != nullptr; w = w->next) {
      if (!reads(w->registered)) continue;
      w->slot->word.fetch_add(1);
      if (slotCount < slots.size())
        slots[slotCount++] = w->slot;
      else
        wakeAll = true;
    }
  }
  // Wakes all waits: for more than `mark` could collect.
  void markAll(std::array<Slot*, 8>& slots, size_t& slotCount, bool& wakeAll)
      TAVRO_REQUIRES(mutex) {
    mark([](const ReadSet&) { return true; }, slots, slotCount, wakeAll);
  }
  void wakeEveryWait() TAVRO_REQUIRES(mutex) {
    for (WaitRecord* w = waits_; w != nullptr; w = w->next) platform::wakeWord(w->slot->word);
  }

  static std::atomic<uint32_t>& itemWaits(const SignalledItem* item) {
    return const_cast<SignalledItem*>(item)->waits_;
  }

 private:
  Slot* takeSlot() TAVRO_REQUIRES(mutex) {
    if (Slot* s = freeSlots_) {
      freeSlots_ = s->nextFree;
      return s;
    }
    return new Slot();  // kept for ever, reused
  }
  WaitRecord* waits_ TAVRO_GUARDED_BY(mutex) = nullptr;
  Slot* freeSlots_ TAVRO_GUARDED_BY(mutex) = nullptr;
};

namespace {

// Never destroyed: threads may still wait while the process exits.
WaitRegistry& registry() {
  return lasting<WaitRegistry>();
}

// The batch this thread is inside (a look counts as one): how deep, and the items read by
// some wait that changed within it. The outermost batch holds the registry's lock.
constexpr size_t kMaxBatchChanges = 16;
thread_local int tBatchDepth = 0;
thread_local std::array<const SignalledItem*, kMaxBatchChanges> tBatchChanges{};
thread_local size_t tBatchChangeCount = 0;
thread_local bool tBatchChangedMore = false;  // more than tBatchChanges holds

struct Wakes {
  std::array<Slot*, 8> slots{};
  size_t count = 0;
  bool all = false;
};

// With the lock held: marks the waits that read what the batch changed, and forgets it.
Wakes markBatch(WaitRegistry& r) TAVRO_REQUIRES(r.mutex) {
  Wakes wakes;
  if (tBatchChangedMore) {
    r.markAll(wakes.slots, wakes.count, wakes.all);
  } else if (tBatchChangeCount > 0) {
    r.mark(
        [](const ReadSet& reads) {
          for (size_t i = 0; i < tBatchChangeCount; ++i)
            if (reads.reads(tBatchChanges[i])) return true;
          return false;
        },
        wakes.slots, wakes.count, wakes.all);
  }
  tBatchChangeCount = 0;
  tBatchChangedMore = false;
  return wakes;
}

// Once the lock is released (the woken then find it free), or with it held when `all`.
void wake(WaitRegistry& r, const Wakes& wakes) {
  if (wakes.all) {
    MutexLock lock(r.mutex);
    r.wakeEveryWait();
    return;
  }
  for (size_t i = 0; i < wakes.count; ++i) platform::wakeWord(wakes.slots[i]->word);
}

// One look at `done` with the registry's lock held by the caller, so that it never falls
// inside a batch; notes what it reads into `reads` when given. A change that `done` makes
// itself (taking a turn) wakes as a batch's does.
bool lookHeld(WaitRegistry& r, const std::function<bool()>& done, ReadSet* reads)
    TAVRO_REQUIRES(r.mutex) {
  ++tBatchDepth;
  if (reads) reads->clear();
  tLookReads = reads;
  const bool result = done();
  tLookReads = nullptr;
  --tBatchDepth;
  const Wakes wakes = markBatch(r);
  for (size_t i = 0; i < wakes.count; ++i) platform::wakeWord(wakes.slots[i]->word);
  if (wakes.all) r.wakeEveryWait();
  return result;
}

bool lookLocked(const std::function<bool()>& done) {
  WaitRegistry& r = registry();
  MutexLock lock(r.mutex);
  return lookHeld(r, done, nullptr);
}

// Waits until `done` holds or `deadline` passes (Clock::time_point::max(): no deadline),
// woken by the changes of what it reads; true when `done` held.
bool waitUntil(const std::function<bool()>& done, platform::Clock::time_point deadline) {
  WaitRegistry& r = registry();
  MutexLock lock(r.mutex);
  ReadSet reads;
  if (lookHeld(r, done, &reads)) return true;
  WaitRecord w;
  r.insert(w);
  bool result = false;
  for (;;) {
    if (r.follow(w, reads)) {
      if ((result = lookHeld(r, done, &reads))) break;
      continue;
    }
    if (platform::Clock::now() >= deadline) break;
    Slot& slot = *w.slot;
    const uint32_t seen = slot.word.load();
    lock.unlock();
    for (bool woken = false; !woken;) {
      platform::waitWord(slot.word, seen, deadline);
      gWakeups.fetch_add(1, std::memory_order_relaxed);
      woken = slot.word.load() != seen || platform::Clock::now() >= deadline;
    }
    lock.lock();
    if ((result = lookHeld(r, done, &reads))) break;
  }
  r.remove(w);
  return result;
}

}  // namespace

void SignalledItem::changed() noexcept {
  if (tBatchDepth > 0) {
    // The lock is held: the counts cannot change meanwhile.
    if (waits_.load(std::memory_order_relaxed) == 0 &&
        registry().readsAll.load(std::memory_order_relaxed) == 0)
      return;
    if (tBatchChangeCount < kMaxBatchChanges)
      tBatchChanges[tBatchChangeCount++] = this;
    else
      tBatchChangedMore = true;
    return;
  }
  // A read-modify-write of the count reads its latest value. A wait that registers later
  // (an increment after this one) has synchronised with this change, and its look after the
  // registration (WaitRegistry::follow) sees the new value.
  WaitRegistry& r = registry();
  if (waits_.fetch_add(0, std::memory_order_acq_rel) == 0 &&
      r.readsAll.fetch_add(0, std::memory_order_acq_rel) == 0)
    return;
  Wakes wakes;
  {
    MutexLock lock(r.mutex);
    r.mark([this](const ReadSet& reads) { return reads.reads(this); }, wakes.slots, wakes.count,
           wakes.all);
  }
  wake(r, wakes);
}

uint32_t waitsReading(const SignalledItem& item) {
  WaitRegistry& r = registry();
  MutexLock lock(r.mutex);
  return WaitRegistry::itemWaits(&item).load() + r.readsAll.load();
}

void setWaitMode(WaitMode mode) {
  gMode.store(mode);
}
WaitMode waitMode() {
  return gMode.load();
}

uint64_t waitWakeups() {
  return gWakeups.load(std::memory_order_relaxed);
}

// The outermost batch takes the registry's lock and its end lets it go, which the analysis
// cannot follow across the two.
SignalBatch::SignalBatch() TAVRO_NO_THREAD_SAFETY_ANALYSIS {
  if (tBatchDepth++ == 0) {
    registry().mutex.lock();
    tBatchChangeCount = 0;
    tBatchChangedMore = false;
  }
}

SignalBatch::~SignalBatch() TAVRO_NO_THREAD_SAFETY_ANALYSIS {
  if (--tBatchDepth > 0) return;
  WaitRegistry& r = registry();
  const Wakes wakes = markBatch(r);
  r.mutex.unlock();
  wake(r, wakes);
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
  const bool ok =
      waitUntil(done, maxSleeps == kNoLimit ? platform::Clock::time_point::max()
                                            : start + platform::realDuration(period * maxSleeps));
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

bool waitUntilTime(const std::function<bool()>& done, platform::Clock::time_point deadline) {
  if (gMode.load() == WaitMode::kEvent) return waitUntil(done, deadline);
  if (lookLocked(done)) return true;
  const auto now = platform::Clock::now();
  if (deadline > now) std::this_thread::sleep_for(deadline - now);
  gWakeups.fetch_add(1, std::memory_order_relaxed);
  return lookLocked(done);
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
