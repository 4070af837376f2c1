// Fuzz target: the caller-number parser and the whole-record decoder fed arbitrary stored
// records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "incoming/caller_number.h"
#include "incoming/caller_record.h"

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

  // The decoder agrees with the parser on the number and keeps every text terminated.
  tavro_caller_id id;
  const bool decoded = tavro::decodeCallerId(record.data(), record.size(), &id);
  if (decoded != (result == tavro::kNumberWritten || result == tavro::kNoNumber)) __builtin_trap();
  // Each text ends with a zero, and every byte after it is zero too.
  for (const auto* text : {&id.number, &id.name}) {
    const char* zero = static_cast<const char*>(std::memchr(*text, 0, sizeof *text));
    if (zero == nullptr) __builtin_trap();
    for (const char* c = zero; c < *text + sizeof *text; ++c)
      if (*c != 0) __builtin_trap();
  }
  if (id.raw_length > sizeof id.raw || id.raw_length > size) __builtin_trap();
  if (decoded && result == tavro::kNumberWritten && id.number_absence == TAVRO_ABSENCE_NONE &&
      std::strcmp(id.number, number) != 0)
    __builtin_trap();
  for (const char* c = id.name; *c; ++c)
    if (*c < 0x20 || *c > 0x7E) __builtin_trap();
  return 0;
}
