#include "line/dial_packet.h"

#include <algorithm>

namespace tavro {

int digitCode(unsigned char c) {
  if (c == '0') return 10;
  if (c == '*') return 11;
  if (c == '#') return 12;
  if (c >= 'A' && c <= 'L') return 13 + (c - 'A');
  if (c >= 'a' && c <= 'l') return 13 + (c - 'a');
  if (c >= 0x31 && c <= 0x7F) return c & 0x0F;
  return kDialBadCharacter;
}

int buildDialPacket(const char* number, size_t maxDigits, uint32_t para1, uint32_t para2,
                    uint32_t para3, Packet& packet) {
  packet.fill(0);
  maxDigits = std::min(maxDigits, kMaxDialDigits);
  size_t count = 0;
  while (count < maxDigits && number[count] != '\0') {
    const int code = digitCode(static_cast<unsigned char>(number[count]));
    if (code < 0) {
      packet.fill(0);
      return kDialBadCharacter;
    }
    packet[kDialDigitsOffset + count] = static_cast<uint8_t>(code);
    ++count;
  }
  if (count == 0) return kDialEmpty;
  packet[0] = codeOf(commands::kDial.code);
  packet[1] = static_cast<uint8_t>(count);
  packet[2] = static_cast<uint8_t>(para3);
  packet[3] = static_cast<uint8_t>(para1);
  packet[4] = static_cast<uint8_t>(para2);
  packet[5] = 1;
  return static_cast<int>(count);
}

}  // namespace tavro
