// Reply records of the box's line events, built well-formed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "wire_types.h"

namespace tavro::vbox {

inline constexpr uint8_t kDefaultReply = 1;  // clears the pending command, stores nothing
inline constexpr uint8_t kRingReply = 3;     // the box's ring report
inline constexpr uint8_t kCallerIdReply = 4;
inline constexpr uint8_t kToneReply = 5;
inline constexpr uint8_t kDtmfReply = 7;
inline constexpr uint8_t kFlagsReply = 8;
inline constexpr uint8_t kReadyReply = 9;  // go-ahead; sub-types 208 and 209
inline constexpr uint8_t kAckReply = 10;
inline constexpr uint8_t kTypeCodeReply = 11;
inline constexpr uint8_t kInfoReply = 18;
inline constexpr uint8_t kAltAckReply = 19;
inline constexpr uint8_t kStatusItemReply = 208;
inline constexpr uint8_t kFlagsSubType = 209;

enum class CallerIdFormat : uint8_t {
  SingleData = 0x04,    // date/time digits MMDDHHMM, then the number
  MultipleData = 0x80,  // parameters: 0x01 date/time, 0x02 number, 0x07 name
  DigitString = 0x05,   // the number's characters, optionally led by 0xFF
};

inline constexpr size_t kMaxCallerIdBody = 59;  // {4, 1, type, L, body, checksum} in 64 bytes

// The caller-ID reply {4, 1, type, L, body..., checksum}; the checksum makes the sum of type,
// length, body and checksum 0 modulo 256. An empty dateTime means the box's local time now;
// in the multiple-data format an empty number is sent as reason for absence 'O' and an empty
// name is left out. std::nullopt when the body would not fit the record or dateTime is not
// 8 characters.
std::optional<Record> callerIdRecord(CallerIdFormat format, const std::string& number,
                                     std::string dateTime = "", const std::string& name = "",
                                     bool leadFF = false);
Record noNumberRecord();                            // {4, 2}
Record dtmfRecord(uint8_t code);                    // {7, code}
Record toneRecord(uint8_t first, uint16_t second);  // {5, first, second LE}
Record hookStatusRecord(bool offHook);              // {208, 1, 1|0}
Record playbackFaultRecord();                       // {208, 3, 0}
Record ringRecord();                                // {3}

// Text of the local time as MMDDHHMM.
std::string localDateTimeDigits();

// The digit code of a dial or DTMF character ('1'..'9' -> 1..9, '0' -> 10, '*' -> 11,
// '#' -> 12, 'A'..'D' -> 13..16); std::nullopt for other characters.
std::optional<uint8_t> digitCode(char c);
// The character of a digit code: as above, and 17..24 -> 'E'..'L'; '?' for others.
char digitChar(uint8_t code);

}  // namespace tavro::vbox
