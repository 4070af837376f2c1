// Decoding of the stored caller-number record (protocol/records.h) into a plain text
// number. The record comes from the box and is untrusted: the parser reads nothing outside the
// `size` bytes it is given, and nothing of the body past the stored message.
#ifndef TAVRO_INCOMING_CALLER_NUMBER_H
#define TAVRO_INCOMING_CALLER_NUMBER_H

#include <cstddef>
#include <cstdint>

#include "protocol/records.h"
#include "tavro/result.h"

namespace tavro {

inline constexpr size_t kCallerNumberSize = 61;  // the longest number, 60, and its zero

// Results of parseCallerNumber.
inline constexpr int kNumberWritten = 1;  // `out` holds the number (possibly empty)
inline constexpr int kNothingToRead = 0;  // no message, or an unknown type; `out` untouched
// The box reported "no number"; `out` untouched.
inline constexpr int kNoNumber = TAVRO_ERROR_NO_DATA;

// Decodes `record` (its `size` stored bytes) into `out`, which must hold
// kCallerNumberSize bytes. `out` is written only when the result is kNumberWritten: the
// number's characters and a terminating zero.
int parseCallerNumber(const uint8_t* record, size_t size, char* out);

}  // namespace tavro

#endif  // TAVRO_INCOMING_CALLER_NUMBER_H
