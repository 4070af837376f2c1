// State items that wake the waits that read them whenever they change.
//
// Every wait of the library goes through the one wait primitive (device/wait.h), which looks
// at its condition again when it is woken. While it looks, the primitive notes every
// Signalled item the condition reads (through any helper), and a change of an item wakes
// only the waits whose last look read it; an item that no wait reads is stored without a
// wakeup. A Signalled<T> is an atomic whose every change does this, so that no writer can
// forget to. A SignalBatch makes several changes one: waiters look at their conditions
// either before all of them or after all of them, and each waiter is woken once at the end.
#ifndef TAVRO_DEVICE_SIGNALLED_H
#define TAVRO_DEVICE_SIGNALLED_H

#include <atomic>
#include <cstdint>

namespace tavro {

class SignalledItem;

// The items one look of a wait reads, noted while the look runs (device/wait.cpp).
class ReadSet;
void noteRead(ReadSet& reads, const SignalledItem* item) noexcept;
// The read set of the look running on this thread, if any.
extern constinit thread_local ReadSet* tLookReads;

// What every Signalled<T> has, whatever its T: how many waits read it now.
class SignalledItem {
 public:
  constexpr SignalledItem() noexcept = default;
  SignalledItem(const SignalledItem&) = delete;
  SignalledItem& operator=(const SignalledItem&) = delete;

 protected:
  void read() const noexcept {
    if (ReadSet* reads = tLookReads) noteRead(*reads, this);
  }
  // Wakes the waits that read this item; inside a batch, at its end.
  void changed() noexcept;

 private:
  friend class WaitRegistry;
  std::atomic<uint32_t> waits_{0};  // waits registered on this item
};

// RAII: the changes made on this thread while it lives are seen by the waiters at once.
// It holds the wait primitive's lock, so it must contain stores only: no waits, no calls
// that block. Batches nest; the outermost one wakes.
class SignalBatch {
 public:
  SignalBatch();
  ~SignalBatch();
  SignalBatch(const SignalBatch&) = delete;
  SignalBatch& operator=(const SignalBatch&) = delete;
};

// Every operation counts as a read for a look in progress (a condition that takes a turn
// by compare-exchange depends on the item as much as one that loads it).
template <typename T>
class Signalled : public SignalledItem {
 public:
  constexpr Signalled(T initial = T{}) noexcept : value_(initial) {}

  T load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
    read();
    return value_.load(order);
  }
  operator T() const noexcept { return load(); }

  // Each change wakes only when the value really changed: repeating a state wakes nobody.
  void store(T value, std::memory_order order = std::memory_order_seq_cst) noexcept {
    exchange(value, order);
  }
  Signalled& operator=(T value) noexcept {
    store(value);
    return *this;
  }
  T exchange(T value, std::memory_order order = std::memory_order_seq_cst) noexcept {
    read();
    const T old = value_.exchange(value, order);
    if (old != value) changed();
    return old;
  }
  T fetch_or(T bits, std::memory_order order = std::memory_order_seq_cst) noexcept {
    read();
    const T old = value_.fetch_or(bits, order);
    if ((old | bits) != old) changed();
    return old;
  }
  T fetch_and(T bits, std::memory_order order = std::memory_order_seq_cst) noexcept {
    read();
    const T old = value_.fetch_and(bits, order);
    if ((old & bits) != old) changed();
    return old;
  }
  T fetch_add(T n, std::memory_order order = std::memory_order_seq_cst) noexcept {
    read();
    const T old = value_.fetch_add(n, order);
    if (n != T{}) changed();
    return old;
  }
  T fetch_sub(T n, std::memory_order order = std::memory_order_seq_cst) noexcept {
    read();
    const T old = value_.fetch_sub(n, order);
    if (n != T{}) changed();
    return old;
  }
  bool compare_exchange_strong(T& expected, T desired,
                               std::memory_order order = std::memory_order_seq_cst) noexcept {
    read();
    const T was = expected;
    const bool ok = value_.compare_exchange_strong(expected, desired, order);
    if (ok && was != desired) changed();
    return ok;
  }
  // Replaces the value by what `change` makes of it, in one atomic step; returns the old.
  template <typename Change>
  T update(Change change) noexcept {
    read();
    T old = value_.load(std::memory_order_relaxed);
    while (!value_.compare_exchange_weak(old, change(old), std::memory_order_acq_rel)) {
    }
    if (change(old) != old) changed();
    return old;
  }

 private:
  std::atomic<T> value_;
};

}  // namespace tavro

#endif  // TAVRO_DEVICE_SIGNALLED_H
