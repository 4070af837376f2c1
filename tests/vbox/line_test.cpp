// The box's line: state that the commands change, the data answers and the line events, over
// raw sockets; the caller-ID record builder; the verbs and scenario parsing of tavro-box.
#include <gtest/gtest.h>

#include <numeric>

#include "vbox/raw_wire.h"
#include "vbox/records.h"
#include "vbox/verbs.h"
#include "vbox/virtual_box.h"

namespace tavro::vbox {
namespace {

using testing::Host;
using testing::packet;

std::vector<uint8_t> bytes(const Record& r) {
  return {r.begin(), r.end()};
}

// The message of a caller-ID record: type, length, body and checksum sum to 0 mod 256.
unsigned messageSum(const Record& r) {
  return std::accumulate(r.begin() + 2, r.begin() + 5 + r[3], 0u) & 0xFF;
}

TEST(CallerIdRecord, SingleDataCarriesDateTimeThenNumber) {
  auto r = callerIdRecord(CallerIdFormat::SingleData, "5551234", "03050708");
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[0], 4);
  EXPECT_EQ((*r)[1], 1);
  EXPECT_EQ((*r)[2], 0x04);
  EXPECT_EQ((*r)[3], 15);
  EXPECT_EQ(std::string(r->begin() + 4, r->begin() + 19), "030507085551234");
  EXPECT_EQ(messageSum(*r), 0u);
  EXPECT_EQ((*r)[20], 0);  // nothing after the checksum
}

TEST(CallerIdRecord, MultipleDataCarriesParameters) {
  auto r = callerIdRecord(CallerIdFormat::MultipleData, "123", "12312359", "Ann");
  ASSERT_TRUE(r);
  std::vector<uint8_t> body(r->begin() + 4, r->begin() + 4 + (*r)[3]);
  std::vector<uint8_t> expected = {1, 8, '1', '2', '3', '1', '2', '3', '5', '9',
                                   2, 3, '1', '2', '3', 7,   3,   'A', 'n', 'n'};
  EXPECT_EQ((*r)[2], 0x80);
  EXPECT_EQ(body, expected);
  EXPECT_EQ(messageSum(*r), 0u);

  // No number: a reason for absence instead, and no name parameter.
  auto absent = callerIdRecord(CallerIdFormat::MultipleData, "", "12312359");
  ASSERT_TRUE(absent);
  EXPECT_EQ((*absent)[3], 13);
  EXPECT_EQ((*absent)[14], 0x04);
  EXPECT_EQ((*absent)[16], 'O');
  EXPECT_EQ(messageSum(*absent), 0u);
}

TEST(CallerIdRecord, DigitStringWithAndWithoutLeadByte) {
  auto plain = callerIdRecord(CallerIdFormat::DigitString, "789", "00000000");
  auto led = callerIdRecord(CallerIdFormat::DigitString, "789", "00000000", "", true);
  ASSERT_TRUE(plain && led);
  EXPECT_EQ((*plain)[3], 3);
  EXPECT_EQ((*plain)[4], '7');
  EXPECT_EQ((*led)[3], 5);
  EXPECT_EQ((*led)[4], 0xFF);
  EXPECT_EQ((*led)[5], '7');
  EXPECT_EQ((*led)[8], 0x0D);
  EXPECT_EQ(messageSum(*plain), 0u);
  EXPECT_EQ(messageSum(*led), 0u);
}

TEST(CallerIdRecord, RefusesWhatDoesNotFitOneRecord) {
  EXPECT_TRUE(callerIdRecord(CallerIdFormat::DigitString, std::string(59, '1')));
  EXPECT_FALSE(callerIdRecord(CallerIdFormat::DigitString, std::string(60, '1')));
  EXPECT_FALSE(callerIdRecord(CallerIdFormat::SingleData, std::string(52, '1')));
  EXPECT_FALSE(callerIdRecord(CallerIdFormat::SingleData, "1", "0305"));  // bad date/time
  auto now = callerIdRecord(CallerIdFormat::SingleData, "1");             // the box's clock
  ASSERT_TRUE(now);
  EXPECT_EQ((*now)[3], 9);
}

class BoxLine : public ::testing::Test {
 protected:
  testing::RuntimeDir dir;
  VirtualBox box;
  Host host{box};
};

TEST_F(BoxLine, CommandsChangeTheLineState) {
  EXPECT_EQ(host.ask({4}), packet({1, 4}));
  EXPECT_TRUE(box.lineState().offHook);
  std::vector<uint8_t> dial = packet({6, 3, 17, 5, 5, 1});
  dial[22] = 1, dial[23] = 2, dial[24] = 10;
  EXPECT_EQ(host.ask(dial), packet({1, 6}));
  for (auto cmd : {packet({17, 1}), packet({18, 1}), packet({21, 1}), packet({22, 1}),
                   packet({23, 150}), packet({7, 1, 1})})
    EXPECT_EQ(host.ask(cmd)[1], cmd[0]);
  EXPECT_EQ(host.ask({9, 1}), packet({9, 0}));  // playback on: the first go-ahead

  LineState s = box.lineState();
  EXPECT_EQ(s.dialParams, (std::array<uint8_t, 3>{17, 5, 5}));
  EXPECT_EQ(s.dialledCodes, (std::vector<uint8_t>{1, 2, 10}));
  EXPECT_EQ(s.dialledNumber, "120");
  EXPECT_TRUE(s.mute && s.micOut && s.lineMic && s.dtmfChecking && s.recording && s.playing);
  EXPECT_EQ(s.nextCallDelay, 150);
  EXPECT_EQ(s.recordMode, 1);

  EXPECT_EQ(host.ask({3}), packet({1, 3}));
  EXPECT_EQ(host.ask({17, 0}), packet({1, 17}));
  EXPECT_EQ(host.ask({7, 0, 0}), packet({1, 7}));
  s = box.lineState();
  EXPECT_FALSE(s.offHook || s.mute || s.recording);
}

TEST_F(BoxLine, DialCountBeyondTheLimitStaysInside) {
  std::vector<uint8_t> dial = packet({6, 255});
  dial[62] = 9;  // the last digit the library can send
  dial[63] = 8;
  EXPECT_EQ(host.ask(dial), packet({1, 6}));
  LineState s = box.lineState();
  EXPECT_EQ(s.dialledCodes.size(), kMaxDialDigits);
  EXPECT_EQ(s.dialledCodes.back(), 9);
}

TEST_F(BoxLine, DataAnswersCarryTheSettings) {
  box.setFlagsValue(0x12345678);
  EXPECT_EQ(host.ask({24}), packet({8, 0x78, 0x56, 0x34, 0x12}));
  box.setFlagsViaType9(true);
  EXPECT_EQ(host.ask({24}), packet({9, 209, 0x78, 0x56, 0x34, 0x12}));
  box.setTypeCode(0x35);
  EXPECT_EQ(host.ask({27}), packet({11, 0x35}));
  box.setInfoBlock({1, 0, 2, 0, 0, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(host.ask({36}), packet({18, 1, 0, 2, 0, 0, 3, 4, 5, 6, 7, 8}));
}

TEST_F(BoxLine, FlashStoresFourBlocksAndAcknowledges) {
  box.setFlashAck(0x5A);
  for (uint8_t block = 0; block < 4; ++block) {
    if (block == 3) box.setFlashAckType(19);
    std::vector<uint8_t> p = packet({25, block});
    for (int i = 0; i < 60; ++i) p[4 + i] = uint8_t(block * 60 + i);
    EXPECT_EQ(host.ask(p), packet({uint8_t(block == 3 ? 19 : 10), 0x5A}));
  }
  auto flash = box.flash();
  for (size_t i = 0; i < flash.size(); ++i) ASSERT_EQ(flash[i], uint8_t(i)) << i;
  // A block that does not exist is answered but stores nothing.
  EXPECT_EQ(host.ask({25, 4, 0, 0, 0xEE}), packet({1, 25}));
  EXPECT_EQ(box.flash(), flash);
  EXPECT_EQ(box.lineState().flashWrites, 4);
}

TEST_F(BoxLine, HookCommandsMayReportHookStatus) {
  box.setReportHook(true);
  EXPECT_EQ(host.ask({4}), packet({208, 1, 1}));
  EXPECT_EQ(host.next(), packet({1, 4}));  // the clearing answer comes last
  EXPECT_EQ(host.ask({3}), packet({208, 1, 0}));
  EXPECT_EQ(host.next(), packet({1, 3}));
}

TEST_F(BoxLine, LineEventsReachTheReplyPipe) {
  ASSERT_EQ(host.ask({14}), packet({1, 14}));  // the reply pipe is accepted
  ASSERT_TRUE(box.sendDtmf(12));
  ASSERT_TRUE(box.sendTone(3, 300));
  ASSERT_TRUE(box.sendNoNumber());
  ASSERT_TRUE(box.sendHookStatus(true));
  ASSERT_TRUE(box.sendRing());
  ASSERT_TRUE(box.sendCallerId(CallerIdFormat::DigitString, "42", "", "", true));
  EXPECT_EQ(host.next(), packet({7, 12}));
  EXPECT_EQ(host.next(), packet({5, 3, 0x2C, 0x01}));
  EXPECT_EQ(host.next(), packet({4, 2}));
  EXPECT_EQ(host.next(), packet({208, 1, 1}));
  EXPECT_EQ(host.next(), packet({3}));
  EXPECT_EQ(host.next(), bytes(*callerIdRecord(CallerIdFormat::DigitString, "42", "", "", true)));
  EXPECT_TRUE(box.lineState().offHook);
  EXPECT_FALSE(box.sendCallerId(CallerIdFormat::DigitString, std::string(60, '1')));
}

TEST_F(BoxLine, VerbsDriveTheBox) {
  ASSERT_EQ(host.ask({14}), packet({1, 14}));
  EXPECT_TRUE(runVerb(box, "call 5551234 name=\"Ann Lee\" date=01020304").ok);
  EXPECT_EQ(host.next(),
            bytes(*callerIdRecord(CallerIdFormat::MultipleData, "5551234", "01020304", "Ann Lee")));
  EXPECT_TRUE(runVerb(box, "call 789 format=digits ff").ok);
  EXPECT_EQ(host.next(), bytes(*callerIdRecord(CallerIdFormat::DigitString, "789", "", "", true)));
  EXPECT_TRUE(runVerb(box, "dtmf 0#").ok);
  EXPECT_EQ(host.next(), packet({7, 10}));
  EXPECT_EQ(host.next(), packet({7, 12}));
  EXPECT_TRUE(runVerb(box, "record 07 05").ok);
  EXPECT_EQ(host.next(), packet({7, 5}));
  EXPECT_TRUE(runVerb(box, "flags 0x01020304 via9").ok);
  EXPECT_EQ(host.ask({24}), packet({9, 209, 4, 3, 2, 1}));
  EXPECT_TRUE(runVerb(box, "silent on").ok);
  ASSERT_TRUE(testing::sendBytes(host.command.get(), packet({4})));
  EXPECT_TRUE(host.next(200).empty());

  for (const char* bad :
       {"bogus", "record", "record 100", "tone 3", "tone 256 1", "dtmf x", "call 1 format=fsk",
        "silent maybe", "call \"1", "flags -1", "call 1 rings=0", "call 1 rings=21",
        "call 1 timing=uk", "call 1 ff rings=2"})
    EXPECT_FALSE(runVerb(box, bad).ok) << bad;
  EXPECT_TRUE(runVerb(box, "quit").quit);
  EXPECT_TRUE(runVerb(box, "  # a comment").ok);
}

TEST(Scenario, ParsesTimedStepsAndReportsBadLines) {
  Scenario sc =
      parseScenario("# a call\n\n+0.5 call 5551234 name=\"Ann\"\n+1 dtmf 5\n  +0 record 07 05\n");
  ASSERT_TRUE(sc.errors.empty()) << sc.errors[0].what;
  ASSERT_EQ(sc.steps.size(), 3u);
  EXPECT_DOUBLE_EQ(sc.steps[0].delay, 0.5);
  EXPECT_EQ(sc.steps[0].line, "call 5551234 name=\"Ann\"");
  EXPECT_EQ(sc.steps[0].lineNumber, 3);
  EXPECT_EQ(sc.steps[2].line, "record 07 05");

  // Every mistake is found, each with its line: the timing, the verb and its arguments.
  Scenario bad = parseScenario(
      "+1 ring\n2 ring\n+x ring\n+-1 ring\n+1\n+1 call \"x\n+0 bogus\n+0 tone 3\n"
      "+0 source wave /no/such.wav\n+0 call 1 nmae=Ann\n+0 ring loudly\n+0 dtmf 5\n");
  std::vector<int> lines;
  for (const ScenarioError& e : bad.errors) lines.push_back(e.lineNumber);
  EXPECT_EQ(lines, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  ASSERT_EQ(bad.errors.size(), 10u);
  EXPECT_NE(bad.errors[5].what.find("unknown verb 'bogus'"), std::string::npos);
  EXPECT_NE(bad.errors[7].what.find("/no/such.wav"), std::string::npos);
  EXPECT_NE(bad.errors[8].what.find("'nmae='"), std::string::npos);
}

TEST(Verbs, TheHelpComesFromTheTableThatRunsThem) {
  std::string help = verbHelp();
  for (const std::string& name : verbNames()) {
    EXPECT_NE(help.find("\n  " + name), std::string::npos) << name;
    // Every verb in the help is one the box knows: none is refused as unknown.
    EXPECT_EQ(checkVerb(name).error.find("unknown verb"), std::string::npos) << name;
  }
  EXPECT_NE(checkVerb("bogus").error.find("unknown verb"), std::string::npos);
  // Aliases run the same verb.
  EXPECT_TRUE(checkVerb("exit").action);
  EXPECT_TRUE(checkVerb("plug").action);
}

TEST(Words, QuotesGroupWords) {
  auto w = splitWords(R"(call 1 name="Ann Lee" x)");
  ASSERT_TRUE(w);
  EXPECT_EQ(*w, (std::vector<std::string>{"call", "1", "name=Ann Lee", "x"}));
  EXPECT_FALSE(splitWords("a \"b"));
}

}  // namespace
}  // namespace tavro::vbox
