// The audio-in stream's frames (protocol/frames.h) as the recorder reads them: in blocks of
// two frames.
#ifndef TAVRO_AUDIO_FRAMES_H
#define TAVRO_AUDIO_FRAMES_H

#include <cstddef>
#include <cstdint>

#include "protocol/frames.h"

namespace tavro {

inline constexpr size_t kBlockSize = 2 * kFrameSize;        // 512
inline constexpr size_t kBlockPayload = 2 * kFramePayload;  // 500
inline constexpr size_t kRealignStep = 64;

// Fills data[from, to) with silence: what is short of a whole audio-out packet or block.
void fillSilence(uint8_t* data, size_t from, size_t to);
// Completes the `n` bytes of `data` with silence to whole packets; returns their length.
// `data` must hold n rounded up to a whole packet.
size_t padToPackets(uint8_t* data, size_t n);

// What one block means to the recorder.
struct BlockResult {
  bool inStep = false;     // both frames start with the marker; payload holds their audio
  uint32_t setBits = 0;    // status-word bits the frame status bytes set
  uint32_t clearBits = 0;  // ... and clear
  size_t realign = 0;      // out of step: bytes to read and drop so the next block starts at
                           // a frame (64·k, k the first 64-byte step holding the marker, or 4)
};

// Looks at the `size` bytes of `block` (a whole block is kBlockSize; anything shorter is
// out of step). When in step, copies the 500 audio bytes to `payload` (kBlockPayload bytes).
// Reads nothing beyond `size` bytes and writes nothing beyond kBlockPayload bytes.
BlockResult handleBlock(const uint8_t* block, size_t size, uint8_t* payload);

// How many bytes of the stream are still to come before the next frame starts, when `tail`
// holds the last `size` bytes received (kFrameSize + 4 of them are enough): reckoned from
// the last marker, the frames being contiguous. 0 when the stream ends at a frame's end, or
// when `tail` holds no marker.
size_t restOfLastFrame(const uint8_t* tail, size_t size);

// The status-word change one frame status byte asks for.
void frameStatusChange(uint8_t status, uint32_t& setBits, uint32_t& clearBits);

}  // namespace tavro

#endif  // TAVRO_AUDIO_FRAMES_H
