// Where a shared box sends what the box says, and which commands it answers itself. The
// table in words is docs/sharing.md; the numbers are the library's own (protocol/).
#ifndef TAVRO_TAVROD_ROUTES_H
#define TAVRO_TAVROD_ROUTES_H

#include <chrono>
#include <cstdint>

#include "protocol/packets.h"
#include "protocol/records.h"

namespace tavro::daemon {

inline constexpr uint8_t kPlainAnswer = 1;  // reply type of the plain answer {1, code}

// Who receives a reply record.
enum class Route {
  kEveryone,  // said unasked: rings, caller numbers, tone reports, DTMF, status items
  kSender,    // the answer to the command in flight: only its sender
  kPlayer,    // a playback go-ahead or fault: the program that plays
};

inline Route routeOf(const uint8_t* record) {
  switch (replyTypeOf(record)) {
    case Reply::kNoUsed:
    case Reply::kReply3:
    case Reply::kCallerNumber:
    case Reply::kToneReport:
    case Reply::kReply6:
    case Reply::kDtmfCode:
      return Route::kEveryone;
    case Reply::kStatusItem:
      return record[1] == codeOf(StatusItemKind::kPlayback) ? Route::kPlayer : Route::kEveryone;
    case Reply::kDeviceReady:
      if (record[1] == codeOf(ReadySubType::kStatusItem))
        return record[2] == codeOf(StatusItemKind::kPlayback) ? Route::kPlayer : Route::kEveryone;
      if (record[1] == codeOf(ReadySubType::kFlagsValue)) return Route::kSender;
      return Route::kPlayer;
    default:
      return Route::kSender;  // the plain answer {1, code}, the data answers, unknown types
  }
}

// Whether `record`, sent to the sender, ends the command `code` in flight: a command whose
// result is its answer's data waits for that answer; any other ends with any answer.
inline bool endsCommand(uint8_t code, const uint8_t* record) {
  switch (static_cast<Command>(code)) {
    case Command::kReadFlags:
      return commands::kReadFlags.answer(record);
    case Command::kWriteFlash:
      return commands::kWriteFlash.answer(record);
    case Command::kReadType:
      return commands::kReadType.answer(record);
    case Command::kReadInfo:
      return commands::kReadInfo.answer(record);
    default:
      return true;
  }
}

// Whether `record` is known as the answer to the command `code`: its plain answer {1, code},
// or the data answer of a command whose result is its answer's data. Records that tell
// nothing of their command (a test reply, an unknown type) are nobody's in particular.
inline bool answers(uint8_t code, const uint8_t* record) {
  if (record[0] == kPlainAnswer) return record[1] == code;
  switch (static_cast<Command>(code)) {
    case Command::kReadFlags:
    case Command::kWriteFlash:
    case Command::kReadType:
    case Command::kReadInfo:
      return endsCommand(code, record);
    default:
      return false;
  }
}

// How long a command in flight holds the others back without an answer: its own poll limit.
inline std::chrono::milliseconds answerLimit(uint8_t code) {
  int polls = kTestTransferPolls;
  for (const CommandSpec& c :
       {commands::kPutDown, commands::kPickUp, commands::kDial, commands::kRecordStatus,
        commands::kPlayStatus, commands::kReadType, commands::kReadInfo})
    if (codeOf(c.code) == code) polls = c.polls;
  return std::chrono::milliseconds(100 * polls);
}

}  // namespace tavro::daemon

#endif  // TAVRO_TAVROD_ROUTES_H
