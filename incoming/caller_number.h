// Decoding of the stored caller-number record into a plain text number.
//
// The record, as the reply reader stores it from a type-4 reply:
//   byte 0        state: 0 nothing received yet, 1 a caller-ID message follows,
//                 2 the box reported that no number is available
//   byte 1        message type: 0x04 single-data message, 0x80 multiple-data message,
//                 0x05 digit string
//   byte 2        body length L
//   bytes 3..L+2  body, then the checksum byte and a zero
// The record comes from the box and is untrusted: the parser reads nothing outside the
// `size` bytes it is given, and nothing of the body past the stored message.
#ifndef TAVRO_INCOMING_CALLER_NUMBER_H
#define TAVRO_INCOMING_CALLER_NUMBER_H

#include <cstddef>
#include <cstdint>

#include "tavro/result.h"

namespace tavro {

inline constexpr size_t kCallerNumberSize = 61;  // the longest number, 60, and its zero

inline constexpr uint8_t kRecordNothing = 0;
inline constexpr uint8_t kRecordMessage = 1;
inline constexpr uint8_t kRecordNoNumber = 2;

inline constexpr uint8_t kSingleDataMessage = 0x04;
inline constexpr uint8_t kMultipleDataMessage = 0x80;
inline constexpr uint8_t kDigitStringMessage = 0x05;

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
