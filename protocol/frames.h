// The audio-in stream's frames: 256 bytes each, the marker "stcq", a status byte, a spare
// byte and 250 A-law bytes. The audio-out stream goes in packets of 256 bytes of A-law.
#ifndef TAVRO_PROTOCOL_FRAMES_H
#define TAVRO_PROTOCOL_FRAMES_H

#include <cstddef>
#include <cstdint>

#include "protocol/pipes.h"

namespace tavro {

inline constexpr size_t kFrameSize = 256;
inline constexpr size_t kFrameHeaderSize = 6;
inline constexpr size_t kFramePayload = kFrameSize - kFrameHeaderSize;  // 250
inline constexpr uint8_t kFrameMarker[4] = {'s', 't', 'c', 'q'};
inline constexpr size_t kFrameStatusOffset = 4;

// Frame status byte: bit 7 = ignore bits 0 and 1; bit 0 = a tone was heard; bit 1 = the
// line went back on hook.
inline constexpr uint8_t kFrameIgnoreFlags = 0x80;
inline constexpr uint8_t kFrameToneFlag = 0x01;
inline constexpr uint8_t kFrameHangUpFlag = 0x02;

// A-law silence.
inline constexpr uint8_t kSilence = 0xD5;

}  // namespace tavro

#endif  // TAVRO_PROTOCOL_FRAMES_H
