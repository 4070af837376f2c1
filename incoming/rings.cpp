#include "incoming/rings.h"

#include "incoming/stores.h"

namespace tavro {

namespace {

template <typename Slots, typename Index, typename V>
void append(Slots& slots, Index& write, V value) {
  const auto w = write.load(std::memory_order_relaxed);
  slots[w % kRingSlots].store(value, std::memory_order_relaxed);
  write.store(nextRingIndex(w), std::memory_order_release);  // publishes the slot
}

template <typename Slots, typename Index, typename V>
V take(Slots& slots, Index& read) {
  const auto r = read.load(std::memory_order_relaxed);
  const V value = slots[r % kRingSlots].load(std::memory_order_relaxed);
  read.store(nextRingIndex(r), std::memory_order_release);
  return value;
}

}  // namespace

void appendDtmf(uint8_t code) {
  ReplyStores& s = replyStores();
  append(s.dtmfRing, s.dtmfWrite, code);
}

void appendTone(uint16_t first, uint16_t second) {
  // Both entries are stored before the index moves past them, so that a reader never
  // takes a report whose second value is not there yet.
  ReplyStores& s = replyStores();
  const uint16_t w = s.toneWrite.load(std::memory_order_relaxed);
  const uint16_t w2 = nextRingIndex(w);
  s.toneRing[w % kRingSlots].store(first, std::memory_order_relaxed);
  s.toneRing[w2 % kRingSlots].store(second, std::memory_order_relaxed);
  s.toneWrite.store(nextRingIndex(w2), std::memory_order_release);
}

bool takeDtmf(uint8_t* code) {
  ReplyStores& s = replyStores();
  if (s.dtmfRead.load(std::memory_order_relaxed) == s.dtmfWrite.load(std::memory_order_acquire))
    return false;
  *code = take<decltype(s.dtmfRing), decltype(s.dtmfRead), uint8_t>(s.dtmfRing, s.dtmfRead);
  return true;
}

bool takeTone(uint16_t* report) {
  ReplyStores& s = replyStores();
  const uint16_t r = s.toneRead.load(std::memory_order_relaxed);
  const uint16_t w = s.toneWrite.load(std::memory_order_acquire);
  // A report is taken once both of its entries are there: a writer that publishes them one
  // at a time may be between the two.
  if (r == w || nextRingIndex(r) == w) return false;
  report[0] = take<decltype(s.toneRing), decltype(s.toneRead), uint16_t>(s.toneRing, s.toneRead);
  report[1] = take<decltype(s.toneRing), decltype(s.toneRead), uint16_t>(s.toneRing, s.toneRead);
  return true;
}

void emptyToneRing() {
  ReplyStores& s = replyStores();
  s.toneRead.store(0, std::memory_order_release);
  s.toneWrite.store(0, std::memory_order_release);
}

}  // namespace tavro
