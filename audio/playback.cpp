#include "audio/playback.h"

namespace tavro {

uint32_t startOffset(uint32_t length, int32_t position) {
  const uint32_t p = position < 0 ? 0u : position > 1000 ? 1000u : static_cast<uint32_t>(position);
  if (length < kExactLimit) return length * p / 1000;
  return length / 1000 * p;
}

int32_t playRate(uint32_t position, uint32_t length) {
  if (length == 0) return 0;
  if (position > length) position = length;  // progress never passes the whole
  if (position < kExactLimit) return static_cast<int32_t>(position * 1000u / length);
  return static_cast<int32_t>(position * 1000.0 / length);
}

}  // namespace tavro
