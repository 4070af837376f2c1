#include "incoming/caller_number.h"

#include <algorithm>

namespace tavro {

namespace {

constexpr size_t kBodyStart = 3;
constexpr size_t kDateTimeDigits = 8;  // MMDDHHMM ahead of a single-data number
constexpr size_t kSingleDataMax = 57;
constexpr size_t kMultipleDataMax = 30;
constexpr size_t kDigitStringMax = 60;
constexpr uint8_t kNumberParameter = 0x02;
constexpr uint8_t kDigitStringLead = 0xFF;

// Copies record[from, from + count), cut at `end`, into out with a terminating zero;
// `keep` decides per byte what goes in (and may change it).
template <typename Keep>
void copyNumber(const uint8_t* record, size_t from, size_t count, size_t end, char* out,
                Keep keep) {
  size_t n = 0;
  if (from < end) {
    const size_t stop = from + std::min(count, end - from);
    for (size_t i = from; i < stop; ++i) {
      int c = keep(record[i]);
      if (c >= 0) out[n++] = static_cast<char>(c);
    }
  }
  out[n] = '\0';
}

}  // namespace

int parseCallerNumber(const uint8_t* record, size_t size, char* out) {
  if (record == nullptr || out == nullptr || size == 0) return kNothingToRead;
  if (record[0] == kRecordNoNumber) return kNoNumber;
  if (record[0] != kRecordMessage) return kNothingToRead;
  if (size < kBodyStart) {
    out[0] = '\0';
    return kNumberWritten;
  }

  const uint8_t type = record[1];
  const size_t length = record[2];
  // The body ends where its length says, or earlier where the stored record ends; the last
  // stored byte is the terminating zero, never part of the message.
  const size_t end = std::min(kBodyStart + length, size - 1);

  switch (type) {
    case kSingleDataMessage: {
      const size_t from = kBodyStart + kDateTimeDigits;
      const size_t count = length > kDateTimeDigits ? length - kDateTimeDigits : 0;
      copyNumber(record, from, std::min(count, kSingleDataMax), end, out,
                 [](uint8_t b) { return static_cast<int>(b); });
      return kNumberWritten;
    }
    case kMultipleDataMessage: {
      // Parameters: type, length, data. Every step advances by at least two bytes, so
      // the walk ends however the lengths are set.
      size_t cursor = kBodyStart;
      while (cursor + 1 < end && record[cursor] != kNumberParameter) {
        cursor += size_t{record[cursor + 1]} + 2;
      }
      if (cursor + 1 >= end) {
        out[0] = '\0';
        return kNumberWritten;
      }
      const size_t count = std::min<size_t>(record[cursor + 1], kMultipleDataMax);
      copyNumber(record, cursor + 2, count, end, out,
                 [](uint8_t b) { return static_cast<int>(b & 0x7F); });  // parity bit off
      return kNumberWritten;
    }
    case kDigitStringMessage: {
      size_t from = kBodyStart;
      size_t count = length;
      if (length > 0 && end > kBodyStart && record[kBodyStart] == kDigitStringLead) {
        from = kBodyStart + 1;
        count = length >= 2 ? length - 2 : 0;  // the lead byte and one trailing byte
      }
      copyNumber(record, from, std::min(count, kDigitStringMax), end, out,
                 [](uint8_t b) { return b >= '0' && b <= '9' ? static_cast<int>(b) : -1; });
      return kNumberWritten;
    }
    default:
      return kNothingToRead;
  }
}

}  // namespace tavro
