// Fuzz target: the caller-number parser fed arbitrary stored records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "incoming/caller_number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the record is caught.
  std::vector<uint8_t> record(data, data + size);
  char number[tavro::kCallerNumberSize + 8];
  std::memset(number, 0x7F, sizeof number);
  const int result = tavro::parseCallerNumber(record.data(), record.size(), number);
  if (result == tavro::kNumberWritten) {
    const void* end = std::memchr(number, 0, tavro::kCallerNumberSize);
    if (end == nullptr) __builtin_trap();  // the number and its zero fit in 61 bytes
  } else if (number[0] != 0x7F) {
    __builtin_trap();  // nothing is written unless a number is
  }
  for (size_t i = tavro::kCallerNumberSize; i < sizeof number; ++i)
    if (number[i] != 0x7F) __builtin_trap();
  return 0;
}
