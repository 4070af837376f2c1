// The reply stores: what the box's answers and events leave for the operations to read.
// The reply reader fills them; the operations of this area read them.
#ifndef TAVRO_INCOMING_STORES_H
#define TAVRO_INCOMING_STORES_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "device/signalled.h"
#include "platform/thread_safety.h"

namespace tavro {

inline constexpr size_t kRingSlots = 30;

struct ReplyStores {
  // Guards replyBuffer and callerNumberRecord: the reader holds it only for one small
  // copy, readers take a consistent snapshot under it.
  Mutex mutex;
  Signalled<uint8_t> acknowledgeByte{0};
  std::array<uint8_t, 16> replyBuffer TAVRO_GUARDED_BY(mutex){};
  Signalled<uint32_t> flagsValue{0};
  std::array<uint8_t, 64> callerNumberRecord TAVRO_GUARDED_BY(mutex){};

  // The DTMF and tone rings (incoming/rings.h). Nothing waits on them: plain atomics, one
  // writer and one reader each.
  std::array<std::atomic<uint8_t>, kRingSlots> dtmfRing{};
  std::atomic<uint8_t> dtmfWrite{0};
  std::atomic<uint8_t> dtmfRead{0};
  std::array<std::atomic<uint16_t>, kRingSlots> toneRing{};
  std::atomic<uint16_t> toneWrite{0};
  std::atomic<uint16_t> toneRead{0};

  // The values of a start: both rings empty.
  void reset() {
    dtmfWrite.store(0);
    dtmfRead.store(0);
    toneWrite.store(0);
    toneRead.store(0);
  }
};

// The stores of the library context in use.
ReplyStores& replyStores();

}  // namespace tavro

#endif  // TAVRO_INCOMING_STORES_H
