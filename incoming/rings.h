// The DTMF ring and the tone ring: 30-slot stores that the reply reader fills (one
// writer) and one application thread empties (one reader). They detect no overflow: when
// 30 entries arrive unread, the write index catches up with the read index and the ring
// looks empty; later entries overwrite the oldest.
#ifndef TAVRO_INCOMING_RINGS_H
#define TAVRO_INCOMING_RINGS_H

#include <cstdint>

namespace tavro {

// An index of 29 or more becomes 0, any other grows by one.
template <typename T>
constexpr T nextRingIndex(T index) {
  return index >= 29 ? T{0} : static_cast<T>(index + 1);
}

// Reply reader side.
void appendDtmf(uint8_t code);
void appendTone(uint16_t first, uint16_t second);  // one report: two entries

// Application side. False (and nothing written) when the ring is empty.
bool takeDtmf(uint8_t* code);
bool takeTone(uint16_t* report);  // two values
void emptyToneRing();

}  // namespace tavro

#endif  // TAVRO_INCOMING_RINGS_H
