// State items that wake the waiters whenever they change.
//
// Every wait of the library goes through the one wait primitive (device/wait.h), which looks
// at its condition again when it is signalled. A Signalled<T> is an atomic whose every
// change signals it, so that no writer can forget to. A SignalBatch makes several changes
// one: waiters look at their conditions either before all of them or after all of them,
// and are signalled once at the end.
#ifndef TAVRO_DEVICE_SIGNALLED_H
#define TAVRO_DEVICE_SIGNALLED_H

#include <atomic>

namespace tavro {

// Wakes every wait so that it looks at its condition again; inside a batch, at its end.
void notifyStateChange();

// RAII: the changes made on this thread while it lives are seen by the waiters at once.
// It holds the wait primitive's lock, so it must contain stores only: no waits, no calls
// that block. Batches nest; the outermost one signals.
class SignalBatch {
 public:
  SignalBatch();
  ~SignalBatch();
  SignalBatch(const SignalBatch&) = delete;
  SignalBatch& operator=(const SignalBatch&) = delete;
};

template <typename T>
class Signalled {
 public:
  constexpr Signalled(T initial = T{}) noexcept : value_(initial) {}
  Signalled(const Signalled&) = delete;
  Signalled& operator=(const Signalled&) = delete;

  T load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
    return value_.load(order);
  }
  operator T() const noexcept { return load(); }

  // Each change signals when the value really changed: repeating a state wakes nobody.
  void store(T value, std::memory_order order = std::memory_order_seq_cst) noexcept {
    exchange(value, order);
  }
  Signalled& operator=(T value) noexcept {
    store(value);
    return *this;
  }
  T exchange(T value, std::memory_order order = std::memory_order_seq_cst) noexcept {
    const T old = value_.exchange(value, order);
    if (old != value) notifyStateChange();
    return old;
  }
  T fetch_or(T bits, std::memory_order order = std::memory_order_seq_cst) noexcept {
    const T old = value_.fetch_or(bits, order);
    if ((old | bits) != old) notifyStateChange();
    return old;
  }
  T fetch_and(T bits, std::memory_order order = std::memory_order_seq_cst) noexcept {
    const T old = value_.fetch_and(bits, order);
    if ((old & bits) != old) notifyStateChange();
    return old;
  }
  T fetch_add(T n, std::memory_order order = std::memory_order_seq_cst) noexcept {
    const T old = value_.fetch_add(n, order);
    if (n != T{}) notifyStateChange();
    return old;
  }
  T fetch_sub(T n, std::memory_order order = std::memory_order_seq_cst) noexcept {
    const T old = value_.fetch_sub(n, order);
    if (n != T{}) notifyStateChange();
    return old;
  }
  bool compare_exchange_strong(T& expected, T desired,
                               std::memory_order order = std::memory_order_seq_cst) noexcept {
    const T was = expected;
    const bool ok = value_.compare_exchange_strong(expected, desired, order);
    if (ok && was != desired) notifyStateChange();
    return ok;
  }
  // Replaces the value by what `change` makes of it, in one atomic step; returns the old.
  template <typename Change>
  T update(Change change) noexcept {
    T old = value_.load(std::memory_order_relaxed);
    while (!value_.compare_exchange_weak(old, change(old), std::memory_order_acq_rel)) {
    }
    if (change(old) != old) notifyStateChange();
    return old;
  }

 private:
  std::atomic<T> value_;
};

}  // namespace tavro

#endif  // TAVRO_DEVICE_SIGNALLED_H
