// Line control and dialling against the virtual box: the bytes that reach it and the
// result codes of every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/command.h"
#include "device/state.h"
#include "line/dial_parameters.h"
#include "platform/platform.h"
#include "support/box_fixture.h"
#include "support/link_down.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::ScaledTime;

class Line : public test::LineFixture {};

TEST_F(Line, HookCommandsChangeTheBitAndSendOnlyWhenNeeded) {
  EXPECT_EQ(io_.PickUp(), 1);
  EXPECT_TRUE(statusHas(kOffHookBit));
  EXPECT_EQ(io_.PickUp(), 1);  // already off hook: nothing sent
  EXPECT_EQ(io_.PutDown(), 1);
  EXPECT_FALSE(statusHas(kOffHookBit));
  EXPECT_EQ(io_.PutDown(), 1);  // already on hook: nothing sent
  EXPECT_EQ(sentPackets(), (std::vector<vbox::Packet>{makePacket({4}), makePacket({3})}));
}

TEST_F(Line, SwitchesSendTheirCodeAndState) {
  EXPECT_EQ(io_.IfMute(false), 1);
  EXPECT_EQ(io_.IfMute(true), 1);
  EXPECT_EQ(io_.IfMicOut(true), 1);
  EXPECT_EQ(io_.IfMicOut(false), 1);
  EXPECT_EQ(io_.GetLine_Mic(true), 1);
  EXPECT_EQ(io_.GetLine_Mic(false), 1);
  EXPECT_EQ(sentPackets(), (std::vector<vbox::Packet>{makePacket({17, 0}), makePacket({17, 1}),
                                                      makePacket({18, 1}), makePacket({18, 0}),
                                                      makePacket({21, 1}), makePacket({21, 0})}));
  EXPECT_FALSE(statusHas(kOffHookBit)) << "the switches leave the hook alone";
}

TEST_F(Line, SetTelStatusKeepsTheLinkDownBit) {
  io_.SetTelStatus(0xFFFFFFFF);
  EXPECT_EQ(io_.GetTelStatus(), 0xFFFFFFFF & ~kLinkDownBit);
  setStatusBits(kLinkDownBit);
  io_.SetTelStatus(0);
  EXPECT_EQ(io_.GetTelStatus(), kLinkDownBit);
  io_.TelSleep(1);  // works while the link is down
  EXPECT_EQ(io_.SetDialPara(1, 2, 3), 1);
  clearStatusBits(kLinkDownBit);
}

TEST_F(Line, EveryDeviceOperationRefusesWhileTheLinkIsDown) {
  setStatusBits(kOffHookBit | kCallerNumberBit);
  setStatusBits(kLinkDownBit);
  for (const auto& c : test::linkDownOperations(runtime_.path() + "/x.wav"))
    EXPECT_EQ(c.call(io_), c.expected) << c.name;
  EXPECT_TRUE(statusHas(kOffHookBit));
  EXPECT_TRUE(statusHas(kCallerNumberBit)) << "a refused read leaves the caller-number bit";
  clearStatusBits(kLinkDownBit);
  EXPECT_TRUE(sentPackets().empty());
}

TEST_F(Line, NullArgumentsAreRefusedAndNothingHappens) {
  setStatusBits(kOffHookBit | kCallerNumberBit);
  EXPECT_EQ(io_.DialNmb(nullptr), -2);
  EXPECT_EQ(io_.Read_Call_Nmb(nullptr), -2);
  EXPECT_EQ(io_.GetDTMFCode(nullptr), -2);
  EXPECT_EQ(io_.Get450HzRecd(nullptr), -2);
  EXPECT_EQ(io_.ReadQV_Type(nullptr), -2);
  EXPECT_EQ(io_.ReadHSPInfo(nullptr), -2);
  EXPECT_EQ(io_.WriteDataToFlash(nullptr), -2);
  EXPECT_TRUE(statusHas(kCallerNumberBit));
  EXPECT_TRUE(sentPackets().empty());
}

TEST_F(Line, UnansweredCommandsTimeOutAndTheNextSendGivesUp) {
  box_.setSilent(true);
  ScaledTime fast(100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(io_.PickUp(), -3);
  EXPECT_GE(std::chrono::steady_clock::now() - start, platform::realDuration(milliseconds(3100)));
  EXPECT_TRUE(statusHas(kOffHookBit)) << "the bit is not taken back";
  EXPECT_TRUE(statusHas(kPendingBit));
  ASSERT_TRUE(box_.waitForCommands(1, milliseconds(5000)));

  // The first command is still pending: each later send gives up before posting.
  EXPECT_EQ(io_.IfMute(true), -3);
  EXPECT_EQ(io_.PutDown(), -3);
  EXPECT_FALSE(statusHas(kOffHookBit)) << "PutDown clears the bit before sending";
  box_.setSilent(false);
  box_.sendRecord({1});  // a late answer ends the pending command
  ASSERT_TRUE(test::eventually([] { return !statusHas(kPendingBit); }));
  EXPECT_EQ(sentPackets(), (std::vector<vbox::Packet>{makePacket({4})}));
}

// Two threads sending at once: each waits for the other's answer, and no packet is lost
// or mixed with another on its way to the box.
TEST_F(Line, SendsFromTwoThreadsEachArriveWhole) {
  constexpr int kEach = 100;
  std::atomic<int> refused{0};
  auto send = [&](uint8_t sender) {
    for (int i = 0; i < kEach; ++i) {
      Packet p = makePacket({14, sender, static_cast<uint8_t>(i), sender});  // answered
      if (io_.Write_Data_to_USB(p.data()) != 1) ++refused;
    }
  };
  std::thread first(send, 1);
  std::thread second(send, 2);
  first.join();
  second.join();
  EXPECT_EQ(refused.load(), 0);
  const std::vector<vbox::Packet> sent = sentPackets();
  std::set<std::pair<int, int>> arrived;
  for (const auto& p : sent) {
    EXPECT_EQ(p, makePacket({14, p[1], p[2], p[1]})) << "a packet arrived mixed";
    arrived.insert({p[1], p[2]});
  }
  EXPECT_EQ(sent.size(), 2u * kEach);
  EXPECT_EQ(arrived.size(), 2u * kEach);
}

TEST_F(Line, SwitchTimeOutTakesItsHundredPolls) {
  box_.setSilent(true);
  ScaledTime fast(100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(io_.GetLine_Mic(true), -3);
  EXPECT_GE(std::chrono::steady_clock::now() - start, platform::realDuration(milliseconds(10100)));
}

TEST_F(Line, StoppedCommandChannelFailsAtOnceAndKeepsTheHookBit) {
  io_.ExistUSB_IO();
  box_.clearLog();     // the stop's own request
  storeStatusWord(0);  // looks up, but the command writer is gone
  EXPECT_EQ(io_.PickUp(), -2);
  EXPECT_TRUE(statusHas(kOffHookBit));
  EXPECT_EQ(io_.PickUp(), 1) << "already marked off hook: nothing to send";
  EXPECT_EQ(io_.IfMute(true), -2);
  EXPECT_EQ(io_.DialNmb("1"), -2);
  EXPECT_EQ(io_.PutDown(), -2);
  EXPECT_FALSE(statusHas(kOffHookBit));
  unsigned char bytes[240] = {};
  EXPECT_EQ(io_.ReadQV_Type(bytes), -2);
  EXPECT_EQ(io_.WriteDataToFlash(bytes), -3) << "the flash reports any failed send as -3";
  EXPECT_TRUE(box_.commands().empty());
}

TEST_F(Line, DialPacket) {
  io_.SetDialPara(5, 5, 17);
  ASSERT_EQ(io_.PickUp(), 1);
  EXPECT_EQ(io_.DialNmb("123"), 1);
  EXPECT_TRUE(statusHas(kOffHookBit)) << "dialling leaves the line off hook";
  // Parameters above 255 are stored whole; their low bytes travel.
  io_.SetDialPara(0x101, 0x202, 0x303);
  EXPECT_EQ(dialParameters().dialPara2.load(), 0x202u);
  EXPECT_EQ(io_.DialNmb("0*#aAm"), 1);

  const auto packets = sentPackets();
  ASSERT_EQ(packets.size(), 3u);
  vbox::Packet expected = makePacket({6, 3, 17, 5, 5, 1});
  expected[22] = 1;
  expected[23] = 2;
  expected[24] = 3;
  EXPECT_EQ(packets[1], expected);
  expected = makePacket({6, 6, 3, 1, 2, 1});
  const uint8_t codes[] = {10, 11, 12, 13, 13, 13};
  for (size_t i = 0; i < 6; ++i) expected[22 + i] = codes[i];
  EXPECT_EQ(packets[2], expected);
}

TEST_F(Line, DialLengthsAndRefusals) {
  EXPECT_EQ(io_.DialNmb("123"), -4) << "on hook";
  EXPECT_EQ(io_.DialNmb(""), -4) << "the hook is tested before the number";
  ASSERT_EQ(io_.PickUp(), 1);
  EXPECT_EQ(io_.DialNmb(""), -2);
  EXPECT_EQ(io_.DialNmbCStr(""), -2);
  EXPECT_EQ(io_.DialNmb("555 1234"), -2);
  EXPECT_EQ(io_.DialNmb("(555)1234"), -2);
  EXPECT_EQ(io_.DialNmb("+495551234"), -2);
  EXPECT_EQ(io_.DialNmbCStr("555-1234"), -2);
  const std::string fifty(50, '8');
  EXPECT_EQ(io_.DialNmb(fifty.c_str()), 1);
  EXPECT_EQ(io_.DialNmbCStr(fifty), 1);
  EXPECT_EQ(io_.SetNextCallDelay(150), 1);
  ASSERT_EQ(io_.PutDown(), 1);
  EXPECT_EQ(io_.SetNextCallDelay(7), 1) << "works on hook";

  const auto packets = sentPackets();
  ASSERT_EQ(packets.size(), 6u);
  EXPECT_EQ(packets[1][1], 41);
  EXPECT_EQ(packets[1][22 + 40], 8);
  EXPECT_EQ(packets[2][1], 40);
  EXPECT_EQ(packets[2][22 + 40], 0);
  EXPECT_EQ(packets[3], makePacket({23, 150}));
  EXPECT_EQ(packets[5], makePacket({23, 7}));
}

TEST_F(Line, UnansweredDialTimesOutAfterTwoHundredPolls) {
  ASSERT_EQ(io_.PickUp(), 1);
  box_.setSilent(true);
  ScaledTime fast(200);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(io_.DialNmb("1"), -3);
  EXPECT_GE(std::chrono::steady_clock::now() - start, platform::realDuration(milliseconds(20100)));
}

}  // namespace
}  // namespace tavro
