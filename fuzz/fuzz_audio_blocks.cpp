// Fuzz target: the recorder's block handling and realignment fed an arbitrary audio-in
// stream, read as the recorder reads it: blocks of 512 bytes, and after an out-of-step
// block the realigning read that it asks for.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  std::vector<uint8_t> payload(tavro::kBlockPayload);
  while (at < size) {
    const size_t n = std::min(tavro::kBlockSize, size - at);
    std::vector<uint8_t> block(data + at, data + at + n);  // exact size: overreads are caught
    at += n;
    const tavro::BlockResult r = tavro::handleBlock(block.data(), block.size(), payload.data());
    if (r.inStep) {
      if (r.realign != 0) __builtin_trap();
      if (std::memcmp(payload.data(), block.data() + 6, 250) != 0) __builtin_trap();
    } else {
      if (r.realign > 4 * tavro::kRealignStep || r.realign % tavro::kRealignStep) __builtin_trap();
      at += std::min(r.realign, size - at);
    }
  }
  return 0;
}
