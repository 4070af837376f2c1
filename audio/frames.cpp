#include "audio/frames.h"

#include <cstring>

#include "tavro/status.h"

namespace tavro {
namespace {

bool markerAt(const uint8_t* block, size_t size, size_t at) {
  return at + sizeof kFrameMarker <= size &&
         std::memcmp(block + at, kFrameMarker, sizeof kFrameMarker) == 0;
}

}  // namespace

void frameStatusChange(uint8_t status, uint32_t& setBits, uint32_t& clearBits) {
  if (status & kFrameIgnoreFlags) return;
  if (status & kFrameToneFlag) setBits |= kToneBit;
  if (status & kFrameHangUpFlag) clearBits |= kOffHookBit;
}

void fillSilence(uint8_t* data, size_t from, size_t to) {
  if (from < to) std::memset(data + from, kSilence, to - from);
}

size_t padToPackets(uint8_t* data, size_t n) {
  const size_t whole = (n + kAudioPacketSize - 1) / kAudioPacketSize * kAudioPacketSize;
  fillSilence(data, n, whole);
  return whole;
}

size_t restOfLastFrame(const uint8_t* tail, size_t size) {
  for (size_t at = size; at-- > 0;) {
    if (markerAt(tail, size, at)) return (kFrameSize - (size - at) % kFrameSize) % kFrameSize;
  }
  return 0;
}

BlockResult handleBlock(const uint8_t* block, size_t size, uint8_t* payload) {
  BlockResult r;
  if (block == nullptr) size = 0;
  if (size >= kBlockSize && markerAt(block, size, 0) && markerAt(block, size, kFrameSize)) {
    r.inStep = true;
    frameStatusChange(block[kFrameStatusOffset], r.setBits, r.clearBits);
    frameStatusChange(block[kFrameSize + kFrameStatusOffset], r.setBits, r.clearBits);
    std::memcpy(payload, block + kFrameHeaderSize, kFramePayload);
    std::memcpy(payload + kFramePayload, block + kFrameSize + kFrameHeaderSize, kFramePayload);
    return r;
  }
  size_t k = 0;
  while (k < 4 && !markerAt(block, size, k * kRealignStep)) ++k;
  r.realign = k * kRealignStep;
  return r;
}

}  // namespace tavro
