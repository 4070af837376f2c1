#include "incoming/caller_record.h"

#include <algorithm>
#include <cstring>

#include "incoming/caller_number.h"

namespace tavro {
namespace {

constexpr size_t kBodyStart = 3;
static_assert(sizeof(tavro_caller_id::number) == kCallerNumberSize);
constexpr size_t kDateTimeDigits = 8;
constexpr uint8_t kDateTimeParameter = 0x01;
constexpr uint8_t kNumberAbsentParameter = 0x04;
constexpr uint8_t kNameParameter = 0x07;
constexpr uint8_t kNameAbsentParameter = 0x08;

uint8_t absenceOf(uint8_t code) {
  switch (code & 0x7F) {
    case 'P':
      return TAVRO_ABSENCE_PRIVATE;
    case 'O':
      return TAVRO_ABSENCE_UNAVAILABLE;
    default:
      return TAVRO_ABSENCE_NONE;
  }
}

int digit(uint8_t b) {
  b &= 0x7F;
  return b >= '0' && b <= '9' ? b - '0' : -1;
}

// Eight digits MMDDHHMM at `p` (`n` bytes available); kept only when all are in range.
void decodeDateTime(const uint8_t* p, size_t n, tavro_caller_id* out) {
  if (n < kDateTimeDigits) return;
  int v[4];
  for (int i = 0; i < 4; ++i) {
    const int hi = digit(p[2 * i]), lo = digit(p[2 * i + 1]);
    if (hi < 0 || lo < 0) return;
    v[i] = hi * 10 + lo;
  }
  if (v[0] < 1 || v[0] > 12 || v[1] < 1 || v[1] > 31 || v[2] > 23 || v[3] > 59) return;
  out->has_date_time = 1;
  out->month = static_cast<uint8_t>(v[0]);
  out->day = static_cast<uint8_t>(v[1]);
  out->hour = static_cast<uint8_t>(v[2]);
  out->minute = static_cast<uint8_t>(v[3]);
}

void decodeName(const uint8_t* p, size_t n, tavro_caller_id* out) {
  // A later name parameter replaces an earlier one whole, so nothing of it stays after
  // the zero. A zero byte ends it: past the stored record there are only zeros.
  std::memset(out->name, 0, sizeof out->name);
  n = std::min(n, sizeof out->name - 1);
  size_t i = 0;
  for (; i < n && p[i] != 0; ++i) {
    const uint8_t c = p[i] & 0x7F;
    out->name[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  out->name[i] = '\0';
}

void decodeMultipleData(const uint8_t* record, size_t end, tavro_caller_id* out) {
  // Every step advances by at least two bytes; a parameter cut off by the end of the body
  // gives what it has.
  for (size_t cursor = kBodyStart; cursor + 1 < end; cursor += size_t{record[cursor + 1]} + 2) {
    const uint8_t type = record[cursor];
    const uint8_t* data = record + cursor + 2;
    const size_t n = std::min<size_t>(record[cursor + 1], end - (cursor + 2));
    if (type == kDateTimeParameter)
      decodeDateTime(data, n, out);
    else if (type == kNameParameter)
      decodeName(data, n, out);
    else if (type == kNumberAbsentParameter && n > 0)
      out->number_absence = absenceOf(data[0]);
    else if (type == kNameAbsentParameter && n > 0)
      out->name_absence = absenceOf(data[0]);
  }
}

// Digit strings: a leading B gives a reason (B00 unavailable, B10 private), after an
// optional start key.
void decodeDigitString(const uint8_t* record, size_t end, tavro_caller_id* out) {
  size_t i = kBodyStart;
  if (i < end && record[i] == 0xFF) ++i;
  if (i < end && (record[i] == 'A' || record[i] == 'D')) ++i;
  if (i + 2 < end && record[i] == 'B') {
    if (record[i + 1] == '0' && record[i + 2] == '0')
      out->number_absence = TAVRO_ABSENCE_UNAVAILABLE;
    if (record[i + 1] == '1' && record[i + 2] == '0') out->number_absence = TAVRO_ABSENCE_PRIVATE;
  }
}

}  // namespace

bool decodeCallerId(const uint8_t* record, size_t size, tavro_caller_id* out) {
  std::memset(out, 0, sizeof *out);
  if (record == nullptr || size == 0) return false;
  if (record[0] == kRecordNoNumber) {
    out->number_absence = TAVRO_ABSENCE_NO_NUMBER;
    out->raw_length = static_cast<uint8_t>(std::min<size_t>(size, 2));
    std::memcpy(out->raw, record, out->raw_length);
    return true;
  }
  if (record[0] != kRecordMessage) return false;
  if (size < kBodyStart) {  // cut short: no message, as the number parser sees it
    out->raw_length = static_cast<uint8_t>(size);
    std::memcpy(out->raw, record, size);
    return true;
  }

  const uint8_t type = record[1];
  const size_t length = record[2];
  // The stored record ends with a zero that is never part of the message.
  const size_t stored = std::min(size - 1, sizeof out->raw);
  const size_t end = std::min(kBodyStart + length, stored);
  out->raw_length = static_cast<uint8_t>(std::min(kBodyStart + length + 1, stored));
  std::memcpy(out->raw, record, out->raw_length);

  // Only the number and its zero are copied: the parser leaves the rest of its buffer
  // as it was, and the field stays zero after the terminator.
  char number[kCallerNumberSize];
  if (parseCallerNumber(record, size, number) != kNumberWritten) return false;
  std::memcpy(out->number, number, std::strlen(number) + 1);
  out->message_type = type;

  if (type == kDigitStringMessage) {
    out->checksum_valid = 1;
    decodeDigitString(record, end, out);
  } else {
    // The sum of type, length, body and checksum is 0 modulo 256.
    if (kBodyStart + length < stored) {
      uint8_t sum = 0;
      for (size_t i = 1; i <= kBodyStart + length; ++i) sum = static_cast<uint8_t>(sum + record[i]);
      out->checksum_valid = sum == 0 ? 1 : 0;
    }
    if (type == kSingleDataMessage) {
      decodeDateTime(record + kBodyStart, end - std::min(end, kBodyStart), out);
      const size_t from = kBodyStart + kDateTimeDigits;
      if (end == from + 1) out->number_absence = absenceOf(record[from]);
    } else {
      decodeMultipleData(record, end, out);
    }
  }
  if (out->number_absence != TAVRO_ABSENCE_NONE) std::memset(out->number, 0, sizeof out->number);
  if (out->name_absence != TAVRO_ABSENCE_NONE) std::memset(out->name, 0, sizeof out->name);
  return true;
}

}  // namespace tavro
