// Digit codes and the dial packet.
#ifndef TAVRO_LINE_DIAL_PACKET_H
#define TAVRO_LINE_DIAL_PACKET_H

#include <cstddef>
#include <cstdint>

#include "device/command.h"
#include "protocol/packets.h"

namespace tavro {

// The one-byte code the box dials for a character: '1'..'9' 1..9, '0' 10, '*' 11, '#' 12,
// 'A'..'L' (either case) 13..24, any other byte from 0x31 to 0x7F its low four bits.
// -1 for a character that has no code (NUL, the other bytes up to 0x2F, bytes above 0x7F).
int digitCode(unsigned char c);

// Results of buildDialPacket besides the count of digits.
inline constexpr int kDialEmpty = 0;
inline constexpr int kDialBadCharacter = -1;

// Builds the dial packet for the first `maxDigits` (at most kMaxDialDigits) characters of
// the zero-terminated `number`; characters past them are not looked at. Returns the count
// of digit codes, kDialEmpty for an empty number, or kDialBadCharacter when a counted
// character has no digit code (the packet is then not to be sent). The parameters go to
// the box as their low bytes, the third first.
int buildDialPacket(const char* number, size_t maxDigits, uint32_t para1, uint32_t para2,
                    uint32_t para3, Packet& packet);

}  // namespace tavro

#endif  // TAVRO_LINE_DIAL_PACKET_H
