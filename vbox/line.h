// The box's line: the state that the commands change and the box's answers to them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "wire_types.h"

namespace tavro::vbox {

inline constexpr uint8_t kCmdPutDown = 3;
inline constexpr uint8_t kCmdPickUp = 4;
inline constexpr uint8_t kCmdDial = 6;
inline constexpr uint8_t kCmdRecord = 7;
inline constexpr uint8_t kCmdPlay = 9;
inline constexpr uint8_t kCmdToneReset = 13;
inline constexpr uint8_t kCmdSpaceCode = 14;
inline constexpr uint8_t kCmdMute = 17;
inline constexpr uint8_t kCmdMicOut = 18;
inline constexpr uint8_t kCmdLineMic = 21;
inline constexpr uint8_t kCmdDtmfCheck = 22;
inline constexpr uint8_t kCmdNextCallDelay = 23;
inline constexpr uint8_t kCmdReadFlags = 24;
inline constexpr uint8_t kCmdFlash = 25;
inline constexpr uint8_t kCmdDetectRing = 26;
inline constexpr uint8_t kCmdReadType = 27;
inline constexpr uint8_t kCmdReadInfo = 36;

inline constexpr size_t kFlashSize = 240;
inline constexpr size_t kFlashBlock = 60;
inline constexpr size_t kMaxDialDigits = 41;

struct LineState {
  bool offHook = false;
  bool mute = false;
  bool micOut = false;  // command 18 byte 1 (also the play-path switch)
  bool lineMic = false;
  bool dtmfChecking = false;
  uint8_t nextCallDelay = 0;
  std::array<uint8_t, 3> dialParams{};  // dial packet bytes 2..4, as sent
  std::vector<uint8_t> dialledCodes;    // digit codes of the last dial
  std::string dialledNumber;            // the same as characters ('?' where none)
  int dials = 0;
  bool recording = false;
  uint8_t recordMode = 0;
  bool playing = false;
  int ringRequests = 0;  // command 26
  int toneResets = 0;    // command 13
  int flashWrites = 0;   // flash blocks stored
};

struct LineSettings {
  uint32_t flagsValue = 0;
  bool flagsViaType9 = false;  // answer 24 with {9, 209, flags} instead of {8, flags}
  uint8_t typeCode = 0x35;
  std::array<uint8_t, 11> infoBlock{'V', 'B', 'O', 'X', '-', '1', '.', '0', 0, 0, 0};
  uint8_t flashAck = 1;
  uint8_t flashAckType = 10;  // 10 or 19
  bool reportHook = false;    // hook commands are followed by a hook status item
};

class LineModel {
 public:
  // Applies a command to the line and gives the box's own answer (never empty).
  std::vector<Record> handle(const Packet& p);

  LineState state;
  LineSettings settings;
  std::array<uint8_t, kFlashSize> flash{};
};

}  // namespace tavro::vbox
