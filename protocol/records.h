// The box's reply records on PIPE00 and what they carry: reply types and the codes inside
// them, status items, the caller-number record, and which records answer a command. The
// library writes these numbers here only; everything else names them.
#ifndef TAVRO_PROTOCOL_RECORDS_H
#define TAVRO_PROTOCOL_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "protocol/pipes.h"

namespace tavro {

// The byte that stands for a code of this header on the wire.
template <typename Code>
requires std::is_enum_v<Code>
constexpr uint8_t codeOf(Code c) {
  return static_cast<uint8_t>(c);
}

// Byte 0 of a reply record. Types not named here change nothing and clear the pending bit.
enum class Reply : uint8_t {
  kNoUsed = 2,         // shows its notice; byte 1 sets or clears the reply-3 bit
  kReply3 = 3,         // sets the reply-3 bit
  kCallerNumber = 4,   // byte 1: CallerNumberKind
  kToneReport = 5,     // byte 1, and bytes 2..3 as a 16-bit value
  kReply6 = 6,         // sets the reply-6 bit
  kDtmfCode = 7,       // byte 1
  kFlagsValue = 8,     // bytes 1..4
  kDeviceReady = 9,    // the box's go-ahead; byte 1: ReadySubType
  kAcknowledge = 10,   // byte 1
  kTypeCode = 11,      // byte 1
  kInfo = 18,          // bytes 1..11
  kAcknowledge2 = 19,  // byte 1, as kAcknowledge
  kStatusItem = 208,   // the status item at bytes 1..2
  kTestReply = 240,    // byte 1: kTestReplyFilled, then 60 bytes from byte 4
  kTestRecord = 241,   // the whole record
};

constexpr Reply replyTypeOf(const uint8_t* record) {
  return static_cast<Reply>(record[0]);
}

// Byte 1 of a device-ready record.
enum class ReadySubType : uint8_t {
  kStatusItem = 208,  // the status item at bytes 2..3
  kFlagsValue = 209,  // the flags value at bytes 2..5
};

// Byte 1 of a caller-number record.
enum class CallerNumberKind : uint8_t {
  kRecord = 1,    // bytes 1 to byte 3 + 4 are the record
  kNoNumber = 2,  // the call came without a number
};

// Byte 1 of a test reply that carries data.
inline constexpr uint8_t kTestReplyFilled = 1;

// A status item: {kind, value}.
enum class StatusItemKind : uint8_t {
  kHookState = 1,  // value kOffHook: off hook; any other: on hook
  kPlayback = 3,   // value kPlaybackFault: the playback failed; kPlaybackRefused: a shared
                   // box refused it, another program plays (a plain fault follows)
};
inline constexpr uint8_t kOffHook = 1;
inline constexpr uint8_t kPlaybackFault = 0;
inline constexpr uint8_t kPlaybackRefused = 2;

// A tone report's second value above this sets the tone bit.
inline constexpr uint16_t kToneThreshold = 10;

// Whether a reply record is the answer to a command whose result is its data.
using AnswerMatch = bool (*)(const uint8_t* record);

namespace answers {
inline bool flagsValue(const uint8_t* r) {
  return replyTypeOf(r) == Reply::kFlagsValue ||
         (replyTypeOf(r) == Reply::kDeviceReady && r[1] == codeOf(ReadySubType::kFlagsValue));
}
inline bool acknowledge(const uint8_t* r) {
  return replyTypeOf(r) == Reply::kAcknowledge || replyTypeOf(r) == Reply::kAcknowledge2;
}
inline bool typeCode(const uint8_t* r) {
  return replyTypeOf(r) == Reply::kTypeCode;
}
inline bool info(const uint8_t* r) {
  return replyTypeOf(r) == Reply::kInfo;
}
inline bool testReply(const uint8_t* r) {
  return (replyTypeOf(r) == Reply::kTestReply && r[1] == kTestReplyFilled) ||
         replyTypeOf(r) == Reply::kTestRecord;
}
}  // namespace answers

// The caller-number record, as the library stores it from a type-4 reply:
//   byte 0        state: kRecordNothing, kRecordMessage (a caller-ID message follows),
//                 kRecordNoNumber (the box reported that no number is available)
//   byte 1        message type: single-data, multiple-data or digit-string message
//   byte 2        body length L
//   bytes 3..L+2  body, then the checksum byte and a zero
inline constexpr uint8_t kRecordNothing = 0;
inline constexpr uint8_t kRecordMessage = 1;
inline constexpr uint8_t kRecordNoNumber = 2;

inline constexpr uint8_t kSingleDataMessage = 0x04;
inline constexpr uint8_t kMultipleDataMessage = 0x80;
inline constexpr uint8_t kDigitStringMessage = 0x05;

// The 32-bit little-endian number at `p`.
inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace tavro

#endif  // TAVRO_PROTOCOL_RECORDS_H
