#include "device/state.h"

namespace tavro {

DeviceState& state() {
  static DeviceState s;
  return s;
}

void setStatusBits(uint32_t bits) {
  state().statusWord.fetch_or(bits, std::memory_order_acq_rel);
  notifyStateChange();
}

void clearStatusBits(uint32_t bits) {
  state().statusWord.fetch_and(~bits, std::memory_order_acq_rel);
  notifyStateChange();
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
