// The box's protocol as the library speaks it: command codes with their poll limits, reply
// types and the codes inside them. This is the one place in the library where these numbers
// are written; everything else names them. (The byte layout of the wire, the pipes and the
// control requests are in platform/wire.h.)
#ifndef TAVRO_DEVICE_PROTOCOL_H
#define TAVRO_DEVICE_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/wire.h"

namespace tavro {

// Byte 0 of a command packet.
enum class Command : uint8_t {
  kPutDown = 3,
  kPickUp = 4,
  kDial = 6,
  kRecordStatus = 7,
  kPlayStatus = 9,
  kContinueTone = 13,
  kSpaceCode = 14,
  kMute = 17,
  kMicOut = 18,  // also the file-playback switch of FS_Open / FS_Close
  kLineMic = 21,
  kCheckDtmf = 22,
  kNextCallDelay = 23,
  kReadFlags = 24,
  kWriteFlash = 25,
  kDetectRing = 26,
  kReadType = 27,
  kReadInfo = 36,
};

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

// A command as an operation sends it: its code and the number of 100 ms polls its answer
// may take. Some codes serve two operations with different limits.
struct CommandSpec {
  Command code;
  int polls;
  // The records that answer it, for a command whose result is its answer's data; null
  // for one whose answer carries nothing: any record that clears the pending bit ends its
  // wait.
  AnswerMatch answer = nullptr;
};

namespace commands {
inline constexpr CommandSpec kPutDown{Command::kPutDown, 30};
inline constexpr CommandSpec kPickUp{Command::kPickUp, 30};
inline constexpr CommandSpec kDial{Command::kDial, 200};
inline constexpr CommandSpec kRecordStatus{Command::kRecordStatus, 30};
inline constexpr CommandSpec kPlayStatus{Command::kPlayStatus, 100};
inline constexpr CommandSpec kContinueTone{Command::kContinueTone, 100};
inline constexpr CommandSpec kSpaceCode{Command::kSpaceCode, 100};
inline constexpr CommandSpec kMute{Command::kMute, 100};
inline constexpr CommandSpec kMicOut{Command::kMicOut, 100};
inline constexpr CommandSpec kFileSwitch{Command::kMicOut, 30};  // FS_Open, FS_Close
inline constexpr CommandSpec kLineMic{Command::kLineMic, 100};
inline constexpr CommandSpec kCheckDtmf{Command::kCheckDtmf, 100};
inline constexpr CommandSpec kNextCallDelay{Command::kNextCallDelay, 100};
inline constexpr CommandSpec kReadFlags{Command::kReadFlags, 100, answers::flagsValue};
inline constexpr CommandSpec kWriteFlash{Command::kWriteFlash, 100,
                                         answers::acknowledge};  // for each packet
inline constexpr CommandSpec kDetectRing{Command::kDetectRing, 100};
inline constexpr CommandSpec kReadType{Command::kReadType, 30, answers::typeCode};
inline constexpr CommandSpec kReadInfo{Command::kReadInfo, 30, answers::info};
}  // namespace commands

// The test transfer: any code, 100 polls for each of up to three attempts.
inline constexpr int kTestTransferPolls = 100;
inline constexpr int kTestTransferAttempts = 3;
inline constexpr AnswerMatch kTestTransferAnswer = answers::testReply;

// The 32-bit little-endian number at `p`.
inline uint32_t le32(const uint8_t* p) {
  return wire::getLe32(p);
}

}  // namespace tavro

#endif  // TAVRO_DEVICE_PROTOCOL_H
