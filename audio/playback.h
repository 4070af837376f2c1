// Positions within a played file, in thousandths of its length.
#ifndef TAVRO_AUDIO_PLAYBACK_H
#define TAVRO_AUDIO_PLAYBACK_H

#include <cstdint>

namespace tavro {

// Below this length (or position) the product with 1000 still fits into 32 bits.
inline constexpr uint32_t kExactLimit = 4000000;

// The byte offset of `position` thousandths into a file of `length` bytes. Positions
// outside 0..1000 count as the start or the end of the file.
uint32_t startOffset(uint32_t length, int32_t position);

// Progress of `position` bytes into `length` bytes, in thousandths (at most 1000); 0 when
// the length is 0.
int32_t playRate(uint32_t position, uint32_t length);

}  // namespace tavro

#endif  // TAVRO_AUDIO_PLAYBACK_H
