#include "device/state.h"

namespace tavro {

DeviceState& state() {
  static DeviceState s;
  return s;
}

// Waiters are woken only when a bit really changed, so that repeating a state (the reply
// reader marking itself ready on every retry) wakes nobody.
void setStatusBits(uint32_t bits) {
  const uint32_t old = state().statusWord.fetch_or(bits, std::memory_order_acq_rel);
  if ((old & bits) != bits) notifyStateChange();
}

void clearStatusBits(uint32_t bits) {
  const uint32_t old = state().statusWord.fetch_and(~bits, std::memory_order_acq_rel);
  if (old & bits) notifyStateChange();
}

void changeStatusBits(uint32_t clear, uint32_t set) {
  uint32_t old = state().statusWord.load(std::memory_order_relaxed);
  while (!state().statusWord.compare_exchange_weak(old, (old & ~clear) | set,
                                                   std::memory_order_acq_rel)) {
  }
  notifyStateChange();
}

void storeStatusWord(uint32_t word) {
  state().statusWord.store(word, std::memory_order_release);
  notifyStateChange();
}

}  // namespace tavro
