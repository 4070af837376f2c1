#include "line/dial_packet.h"

#include <gtest/gtest.h>

#include <string>

namespace tavro {
namespace {

TEST(DigitCode, Table) {
  const std::string chars = "1234567890*#";
  for (size_t i = 0; i < chars.size(); ++i)
    EXPECT_EQ(digitCode(static_cast<unsigned char>(chars[i])), static_cast<int>(i + 1)) << chars[i];
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(digitCode(static_cast<unsigned char>('A' + i)), 13 + i);
    EXPECT_EQ(digitCode(static_cast<unsigned char>('a' + i)), 13 + i);
  }
  // Past 'L' the low four bits.
  EXPECT_EQ(digitCode('M'), 13);
  EXPECT_EQ(digitCode('m'), 13);
  EXPECT_EQ(digitCode(':'), 10);
  EXPECT_EQ(digitCode('Z'), 10);
  EXPECT_EQ(digitCode('P'), 0);
  EXPECT_EQ(digitCode('p'), 0);
  // No code: NUL, separators, control bytes, bytes above 0x7F.
  for (int c = 0; c <= 0x30; ++c) {
    if (c == '*' || c == '#' || c == '0') continue;
    EXPECT_EQ(digitCode(static_cast<unsigned char>(c)), -1) << c;
  }
  for (int c = 0x80; c <= 0xFF; ++c) EXPECT_EQ(digitCode(static_cast<unsigned char>(c)), -1) << c;
}

TEST(DialPacket, Layout) {
  Packet p;
  ASSERT_EQ(buildDialPacket("123", kMaxDialDigits, 5, 5, 17, p), 3);
  Packet expected{};
  expected[0] = 6;
  expected[1] = 3;
  expected[2] = 17;  // the third parameter first
  expected[3] = 5;
  expected[4] = 5;
  expected[5] = 1;
  expected[22] = 1;
  expected[23] = 2;
  expected[24] = 3;
  EXPECT_EQ(p, expected);
  // Only the low bytes of the parameters travel.
  ASSERT_EQ(buildDialPacket("9", kMaxDialDigits, 0x1234, 0x100, 0xFFFF01, p), 1);
  EXPECT_EQ(p[2], 0x01);
  EXPECT_EQ(p[3], 0x34);
  EXPECT_EQ(p[4], 0x00);
}

TEST(DialPacket, LengthLimits) {
  const std::string fifty(50, '7');
  Packet p;
  EXPECT_EQ(buildDialPacket(fifty.c_str(), kMaxDialDigits, 0, 0, 0, p), 41);
  EXPECT_EQ(p[1], 41);
  EXPECT_EQ(p[22 + 40], 7);
  EXPECT_EQ(buildDialPacket(fifty.c_str(), 40, 0, 0, 0, p), 40);
  EXPECT_EQ(p[22 + 40], 0);
  // A larger limit than the packet holds is held at 41.
  EXPECT_EQ(buildDialPacket(fifty.c_str(), 100, 0, 0, 0, p), 41);
  // Characters past the limit are not looked at.
  const std::string tail = std::string(41, '1') + " -";
  EXPECT_EQ(buildDialPacket(tail.c_str(), kMaxDialDigits, 0, 0, 0, p), 41);
  EXPECT_EQ(buildDialPacket("", kMaxDialDigits, 0, 0, 0, p), kDialEmpty);
}

TEST(DialPacket, RefusesCharactersWithoutCode) {
  Packet p;
  for (const char* bad : {"555 1234", "555-1234", "(555)", "+49", "12\x01", "12\xB3"}) {
    EXPECT_EQ(buildDialPacket(bad, kMaxDialDigits, 1, 2, 3, p), kDialBadCharacter) << bad;
    EXPECT_EQ(p, Packet{}) << "nothing of a refused number stays in the packet";
  }
}

}  // namespace
}  // namespace tavro
