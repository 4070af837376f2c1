// Decoding of every field of the stored caller-number record (layout in caller_number.h):
// number, name, date and time, why a number or name is absent, the message type, whether
// the checksum matches, and the raw bytes. Pure and bounded like parseCallerNumber: the
// record is untrusted and nothing outside its `size` bytes is read.
//
// Single-data messages carry 8 digits of date and time (month, day, hour, minute) and the
// number, or 'P' (private) or 'O' (out of area) in its place. Multiple-data messages carry
// parameters: 0x01 date and time, 0x02 number, 0x04 why the number is absent, 0x07 name,
// 0x08 why the name is absent ('P' private, 'O' unavailable). Digit strings may be framed
// by a start key (A or D) and an end key (C or #); a string that starts with B gives a
// reason instead of a number (B00 unavailable, B10 private).
#ifndef TAVRO_INCOMING_CALLER_RECORD_H
#define TAVRO_INCOMING_CALLER_RECORD_H

#include <cstddef>
#include <cstdint>

#include "tavro/events.h"

namespace tavro {

// Fills `out` from `record`; false when the record holds no caller-number reply (state 0
// or unknown), `out` then zeroed.
bool decodeCallerId(const uint8_t* record, size_t size, tavro_caller_id* out);

// Reports the caller-ID event for the record just stored (on the reply reader's thread).
void postCallerId(const uint8_t* record, size_t size);

}  // namespace tavro

#endif  // TAVRO_INCOMING_CALLER_RECORD_H
