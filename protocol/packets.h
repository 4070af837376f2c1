// The command packets on PIPE01: command codes with the poll limits of their answers, and
// the dial packet's layout. The library writes these numbers here only; everything else
// names them.
#ifndef TAVRO_PROTOCOL_PACKETS_H
#define TAVRO_PROTOCOL_PACKETS_H

#include <cstddef>
#include <cstdint>

#include "protocol/pipes.h"
#include "protocol/records.h"

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

// The dial packet carries its digit codes from byte 22 on, at most 41 of them, so that at
// least one zero follows the last.
inline constexpr size_t kDialDigitsOffset = 22;
inline constexpr size_t kMaxDialDigits = 41;
static_assert(kDialDigitsOffset + kMaxDialDigits < kPacketSize);

}  // namespace tavro

#endif  // TAVRO_PROTOCOL_PACKETS_H
