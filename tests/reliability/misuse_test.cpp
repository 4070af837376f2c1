// Every public operation called the wrong way: with the link down, with null pointers,
// with lengths of zero, negative or huge, and with over-long names. None crashes, none
// sends anything it should not, each gives its documented result.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "device/state.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/link.h"
#include "support/link_down.h"
#include "support/runtime_dir.h"
#include "support/test_box.h"
#include "tavro/CKusb_IO.h"
#include "tavro/notice.h"
#include "vbox/virtual_box.h"

namespace tavro {
namespace {

struct Case {
  const char* name;
  std::function<int(CKusb_IO&)> call;
  int expected;
};

class Quiet {
 public:
  Quiet() : previous_(setNoticeHandler([](const std::string&) {})) {}
  ~Quiet() { setNoticeHandler(previous_); }

 private:
  NoticeHandler previous_;
};

TEST(Misuse, EveryDeviceOperationReturnsMinusOneWhileTheLinkIsDown) {
  test::RuntimeDir runtime;
  Quiet quiet;
  platform::setTimeScale(20);
  CKusb_IO io;
  platform::setTimeScale(1);
  ASSERT_TRUE(io.GetTelStatus() & kLinkDownBit);

  std::vector<test::OperationCase> cases = test::linkDownOperations("x.wav");
  // These need no link.
  cases.push_back({"SetDialPara", [](CKusb_IO& i) { return i.SetDialPara(5, 5, 17); }, 1});
  cases.push_back({"GetWriteSoundRate", [](CKusb_IO& i) { return i.GetWriteSoundRate(); }, 0});
  for (const auto& c : cases) EXPECT_EQ(c.call(io), c.expected) << c.name;
  EXPECT_TRUE(io.GetTelStatus() & kLinkDownBit);
  io.SetTelStatus(0);
  // The reply reader, still trying to connect, may mark itself ready again at any moment.
  EXPECT_EQ(io.GetTelStatus() & ~kReaderReadyBit, 0x200u);
  io.TelSleep(1);
}

class WithBox : public ::testing::Test {
 protected:
  test::RuntimeDir runtime_;
  Quiet quiet_;
  test::TestBox box_;
};

TEST_F(WithBox, NullPointersAreRefusedAndSendNothing) {
  CKusb_IO io;
  ASSERT_TRUE(test::waitForLink(io));
  io.PickUp();
  ASSERT_TRUE(box_.waitForCommands(1, test::kGenerous));
  box_.clearLog();
  const std::vector<Case> cases = {
      {"Write_Data_to_USB", [](CKusb_IO& i) { return i.Write_Data_to_USB(nullptr); }, -2},
      {"Test_End0_WR", [](CKusb_IO& i) { return i.Test_End0_WR(1, nullptr); }, -2},
      {"DialNmb", [](CKusb_IO& i) { return i.DialNmb(nullptr); }, -2},
      {"Read_Call_Nmb", [](CKusb_IO& i) { return i.Read_Call_Nmb(nullptr); }, -2},
      {"GetDTMFCode", [](CKusb_IO& i) { return i.GetDTMFCode(nullptr); }, -2},
      {"Get450HzRecd", [](CKusb_IO& i) { return i.Get450HzRecd(nullptr); }, -2},
      {"ReadQV_Type", [](CKusb_IO& i) { return i.ReadQV_Type(nullptr); }, -2},
      {"ReadHSPInfo", [](CKusb_IO& i) { return i.ReadHSPInfo(nullptr); }, -2},
      {"WriteDataToFlash", [](CKusb_IO& i) { return i.WriteDataToFlash(nullptr); }, -2},
      {"StartReadSound", [](CKusb_IO& i) { return i.StartReadSound(nullptr, 1); }, -5},
      {"StartPlaySound", [](CKusb_IO& i) { return i.StartPlaySound(nullptr, 0, 1, 0, false); }, -5},
      {"WriteSoundFromPCToBuffer",
       [](CKusb_IO& i) { return i.WriteSoundFromPCToBuffer(nullptr, 100); }, -2},
      {"ProcQVStatus",
       [](CKusb_IO& i) {
         i.ProcQVStatus(nullptr);
         return 0;
       },
       0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(io), c.expected) << c.name;
  EXPECT_TRUE(box_.commands().empty());
}

TEST_F(WithBox, LengthsOfZeroNegativeAndHugeAndOverLongNames) {
  CKusb_IO io;
  ASSERT_TRUE(test::waitForLink(io));
  unsigned char buf[1024];
  std::fill(std::begin(buf), std::end(buf), 0x77);

  // Nothing flows: lengths of zero or less hand nothing over.
  EXPECT_EQ(io.WriteSoundFromPCToBuffer(buf, 0), 512);
  EXPECT_EQ(io.WriteSoundFromPCToBuffer(buf, -5), 512);
  EXPECT_EQ(io.WriteSoundFromPCToBuffer(buf, INT_MIN), 512);
  EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, 0), 0);
  EXPECT_EQ(buf[0], 0);
  buf[0] = 0x77;
  EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, INT_MIN), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 0x77);
  // No stream is open: a huge read ends at once with nothing, writing only the zero.
  buf[0] = 0x77;
  EXPECT_EQ(io.ReadSoundFromBufferToPC(buf, INT_MAX), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 0x77);

  // Names that do not fit are refused before anything starts.
  const std::string longName(5000, 'n');
  EXPECT_EQ(io.StartReadSound(longName.c_str(), 1), -5);
  EXPECT_EQ(io.StartReadSoundCStr(longName, 1), -5);
  EXPECT_EQ(io.StartReadSound("", 1), -5);
  EXPECT_EQ(io.StartPlaySound(longName.c_str(), 0, 1, 0, false), -5);
  EXPECT_EQ(io.StartPlaySoundCStr(longName, 0, 1, 0, false), -5);
  EXPECT_EQ(io.StartReadSound("/no/such/folder/x.wav", 1), -5);
  EXPECT_EQ(io.StartPlaySound("/no/such/file.al", 0, 1, 0, false), -5);

  // A very long number is cut, as documented, and dialled.
  io.PickUp();
  const std::string digits(10000, '5');
  box_.clearLog();
  EXPECT_EQ(io.DialNmbCStr(digits), 1);
  ASSERT_TRUE(box_.waitForCommands(1, test::kGenerous));
  EXPECT_EQ(box_.commands()[0].packet[1], 40);
  EXPECT_EQ(io.DialNmb(digits.c_str()), 1);
  ASSERT_TRUE(box_.waitForCommands(2, test::kGenerous));
  EXPECT_EQ(box_.commands()[1].packet[1], 41);

  // Positions outside 0..1000 and a seek with no playback change nothing dangerous.
  io.SeekFilePointForTelInfo(INT_MAX);
  io.SeekFilePointForTelInfo(INT_MIN);
  EXPECT_EQ(io.StopPlaySound(), 1);
  EXPECT_EQ(io.StopReadSound() >= 0, true);
}

}  // namespace
}  // namespace tavro

namespace tavro {
namespace {

// A value (flags, acknowledge byte) counts as success, a negative code as itself.
int resultOf(int value) {
  return value < 0 ? value : 1;
}

// The command operations, each expected to succeed against a box that answers.
std::vector<Case> commandOperations(unsigned char* buf, unsigned short* report) {
  (void)report;
  return {
      {"RequestSpaceCode", [](CKusb_IO& i) { return i.RequestSpaceCode(); }, 1},
      {"IfMute", [](CKusb_IO& i) { return i.IfMute(true); }, 1},
      {"IfMicOut", [](CKusb_IO& i) { return i.IfMicOut(false); }, 1},
      {"GetLine_Mic", [](CKusb_IO& i) { return i.GetLine_Mic(true); }, 1},
      {"SetNextCallDelay", [](CKusb_IO& i) { return i.SetNextCallDelay(150); }, 1},
      {"PickUp", [](CKusb_IO& i) { return i.PickUp(); }, 1},
      {"DialNmb", [](CKusb_IO& i) { return i.DialNmb("123"); }, 1},
      {"PutDown", [](CKusb_IO& i) { return i.PutDown(); }, 1},
      {"DetectRing", [](CKusb_IO& i) { return i.DetectRing(); }, 1},
      {"ReaddiFlagsValue", [](CKusb_IO& i) { return resultOf(i.ReaddiFlagsValue()); }, 1},
      {"SetCheckDTMFCall", [](CKusb_IO& i) { return i.SetCheckDTMFCall(true); }, 1},
      {"SetContinueReturn450Hz", [](CKusb_IO& i) { return i.SetContinueReturn450Hz(true); }, 1},
      {"ReadQV_Type", [=](CKusb_IO& i) { return i.ReadQV_Type(buf); }, 1},
      {"ReadHSPInfo", [=](CKusb_IO& i) { return i.ReadHSPInfo(buf); }, 1},
      {"WriteDataToFlash", [=](CKusb_IO& i) { return resultOf(i.WriteDataToFlash(buf)); }, 1},
      {"SetRecordStatus", [](CKusb_IO& i) { return i.SetRecordStatus(false, 0); }, 1},
      {"SetPlayStatus", [](CKusb_IO& i) { return i.SetPlayStatus(0, 1, 1, 0); }, 1},
      {"FS_Open", [](CKusb_IO& i) { return i.FS_Open(); }, 1},
      {"FS_Close", [](CKusb_IO& i) { return i.FS_Close(); }, 1},
  };
}

class Boxes : public ::testing::Test {
 protected:
  test::RuntimeDir runtime_;
  Quiet quiet_;
  test::TestBox box_;
};

TEST_F(Boxes, ASlowBoxIsWaitedFor) {
  CKusb_IO io;
  ASSERT_TRUE(test::waitForLink(io));
  box_.setAnswerDelay(std::chrono::milliseconds(250));
  unsigned char buf[256] = {};
  unsigned short report[2];
  for (const Case& c : commandOperations(buf, report)) EXPECT_EQ(c.call(io), 1) << c.name;
}

TEST_F(Boxes, ASilentBoxTimesEveryOperationOutAndTheStopIsPrompt) {
  auto io = std::make_unique<CKusb_IO>();
  ASSERT_TRUE(test::waitForLink(*io));
  box_.setSilent(true);
  platform::setTimeScale(400);
  unsigned char buf[256] = {};
  unsigned short report[2];
  for (const Case& c : commandOperations(buf, report)) {
    if (std::string(c.name) == "DialNmb") io->PickUp();  // the bit is set even unanswered
    EXPECT_EQ(c.call(*io), -3) << c.name;
  }
  // The recording starts whether or not the box answered; its stop reports the failure.
  EXPECT_EQ(io->StartReadSound((runtime_.path() + "/silent.wav").c_str(), 1), 1);
  EXPECT_LT(io->StopReadSound(), 0);
  platform::setTimeScale(1);
  const auto start = std::chrono::steady_clock::now();
  io.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(workers().replyReaderAlive.load() | workers().commandWriterAlive.load() |
                workers().audioInAlive.load() | workers().audioOutAlive.load(),
            0);
}

}  // namespace
}  // namespace tavro
