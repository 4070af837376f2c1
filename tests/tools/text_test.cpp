#include "tools/text.h"

#include <gtest/gtest.h>

#include "tavro/status.h"

namespace tavro::tool {
namespace {

TEST(DialNumber, StripsTheSeparatorsPeopleType) {
  EXPECT_EQ(cleanDialNumber("(030) 555-12.34").digits, "0305551234");
  EXPECT_EQ(cleanDialNumber(" *21#").digits, "*21#");
  EXPECT_EQ(cleanDialNumber("1a2L").digits, "1a2L");
  EXPECT_TRUE(cleanDialNumber("(030) 555-12.34").error.empty());
}

TEST(DialNumber, RefusesOtherCharactersByName) {
  DialNumber plus = cleanDialNumber("+49 30 555");
  EXPECT_TRUE(plus.digits.empty());
  EXPECT_NE(plus.error.find("'+' at position 1"), std::string::npos) << plus.error;

  DialNumber comma = cleanDialNumber("555,1234");
  EXPECT_NE(comma.error.find("',' at position 4"), std::string::npos) << comma.error;
  // Letters past L have no digit code of their own.
  EXPECT_NE(cleanDialNumber("12m").error.find("'m'"), std::string::npos);
  EXPECT_NE(cleanDialNumber("1\x01"
                            "2")
                .error.find("byte 0x01"),
            std::string::npos);
  EXPECT_NE(cleanDialNumber("1\xE9").error.find("byte 0xE9"), std::string::npos);
}

TEST(DialNumber, RefusesEmptyAndOverlongNumbers) {
  EXPECT_FALSE(cleanDialNumber("").error.empty());
  EXPECT_FALSE(cleanDialNumber(" - ( ) .").error.empty());
  std::string longest(kMaxDialDigits, '7');
  EXPECT_EQ(cleanDialNumber(longest).digits, longest);
  // The box would cut a longer number silently: refuse it instead.
  DialNumber tooLong = cleanDialNumber(longest + "-7");
  EXPECT_TRUE(tooLong.digits.empty());
  EXPECT_NE(tooLong.error.find("42 digits"), std::string::npos) << tooLong.error;
}

TEST(StatusWord, NamesEveryBit) {
  EXPECT_EQ(describeStatus(kLinkDownBit | kReaderReadyBit | kInitialisedBit),
            "0x00000284 (initialised, reader-ready, link-down)");
  EXPECT_EQ(describeStatus(0), "0x00000000 (no bit set)");
  // Bits without a name are shown by value, so that nothing set goes unseen.
  EXPECT_EQ(statusBitNames(kOffHookBit | 0x10000u | 0x80000000u),
            (std::vector<std::string>{"off-hook", "0x10000", "0x80000000"}));
}

TEST(DtmfKey, FollowsTheBoxKeyNumbering) {
  EXPECT_EQ(dtmfKey(1), '1');
  EXPECT_EQ(dtmfKey(9), '9');
  EXPECT_EQ(dtmfKey(10), '0');
  EXPECT_EQ(dtmfKey(11), '*');
  EXPECT_EQ(dtmfKey(12), '#');
  EXPECT_EQ(dtmfKey(16), 'D');
  EXPECT_EQ(dtmfKey(0), '?');
  EXPECT_EQ(dtmfKey(200), '?');
}

TEST(JsonString, StaysValidWhateverTheBoxSends) {
  EXPECT_EQ(jsonString("555"), "\"555\"");
  EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(jsonString(std::string("x\n\x01\xff", 4)), "\"x\\n\\u0001\\u00ff\"");
}

TEST(TerminalText, NoByteFromTheBoxControlsTheTerminal) {
  EXPECT_EQ(terminalText("555 1234"), "555 1234");
  // ESC, BEL, a C1 CSI, DEL and a backslash: each shown by its value, and unambiguously.
  EXPECT_EQ(terminalText(std::string("\x1b]0;t\x07\x9b\x7f\\x", 10)),
            "\\x1b]0;t\\x07\\x9b\\x7f\\\\x");
  EXPECT_EQ(terminalText(std::string("\0\n", 2)), "\\x00\\x0a");
}

TEST(Results, MapToExitCodesAndWords) {
  EXPECT_EQ(describeResult(1, OpKind::kCommand, "pick up").exitCode, kExitOk);
  EXPECT_EQ(describeResult(512, OpKind::kRecord, "record").exitCode, kExitOk);

  Failure down = describeResult(-1, OpKind::kCommand, "pick up");
  EXPECT_EQ(down.exitCode, kExitLinkDown);
  EXPECT_EQ(down.message, "pick up failed: link down: the box is not connected");
  EXPECT_EQ(describeResult(-3, OpKind::kCommand, "x").exitCode, kExitNoAnswer);
  EXPECT_EQ(describeResult(-4, OpKind::kDial, "x").exitCode, kExitOnHook);
  EXPECT_EQ(describeResult(-4, OpKind::kRecord, "x").exitCode, kExitOnHook);
  EXPECT_EQ(describeResult(-5, OpKind::kRecord, "x").exitCode, kExitFile);
  EXPECT_EQ(describeResult(-5, OpKind::kPlay, "x").exitCode, kExitFile);
  EXPECT_EQ(describeResult(-6, OpKind::kPlay, "x").exitCode, kExitBusy);
  EXPECT_EQ(describeResult(-7, OpKind::kRecord, "x").exitCode, kExitFile);
  // A code an operation does not document is still a failure, named by its value.
  Failure odd = describeResult(-4, OpKind::kCommand, "ring");
  EXPECT_EQ(odd.exitCode, kExitFailed);
  EXPECT_NE(odd.message.find("-4"), std::string::npos);
  EXPECT_EQ(describeResult(0, OpKind::kCommand, "x").exitCode, kExitFailed);
}

TEST(Progress, BarIsClampedAndSized) {
  EXPECT_EQ(progressBar(500, 10), "[#####-----]  50.0%");
  EXPECT_EQ(progressBar(-1, 4), "[----]   0.0%");
  EXPECT_EQ(progressBar(5000, 4), "[####] 100.0%");
  EXPECT_EQ(recordProgress(2.0, 16000), "2.0 s, 16000 bytes, 8000 bytes/s");
  EXPECT_EQ(recordProgress(0.0, 0), "0.0 s, 0 bytes, 0 bytes/s");
}

TEST(WaveSizes, AnUnfinishedHeaderIsMadeToMatchTheFile) {
  std::array<uint8_t, kWaveHeaderBytes> h = {
      'R', 'I', 'F', 'F', 0xF8, 0x3F, 0, 0, 'W',  'A',  'V', 'E', 'f',  'm',  't', ' ',
      20,  0,   0,   0,   6,    0,    1, 0, 0x40, 0x1F, 0,   0,   0x40, 0x1F, 0,   0,
      1,   0,   8,   0,   0,    0,    0, 0, 'd',  'a',  't', 'a', 0xE0, 0x07, 0,   0};
  ASSERT_TRUE(repairWaveSizes(h, 48 + 1000));
  EXPECT_EQ(h[4] | h[5] << 8, 1040);
  EXPECT_EQ(h[44] | h[45] << 8, 1000);
  EXPECT_FALSE(repairWaveSizes(h, 48 + 1000));  // already right

  std::array<uint8_t, kWaveHeaderBytes> other = h;
  other[20] = 1;  // not A-law: not a file of ours, left alone
  EXPECT_FALSE(repairWaveSizes(other, 48 + 500));
  EXPECT_EQ(other[44] | other[45] << 8, 1000);
  EXPECT_FALSE(repairWaveSizes(h, 20));  // shorter than its header
}

}  // namespace
}  // namespace tavro::tool
