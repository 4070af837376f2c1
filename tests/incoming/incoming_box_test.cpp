// Caller numbers, DTMF and tone reports, flags value and device information against the
// virtual box.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_state.h"
#include "device/command.h"
#include "device/state.h"
#include "incoming/stores.h"
#include "platform/platform.h"
#include "support/box_fixture.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::eventually;
using test::ScaledTime;

// A caller-ID reply built as the box builds it.
vbox::Record callerId(vbox::CallerIdFormat format, const std::string& number,
                      const std::string& name = "", bool leadFF = false) {
  auto r = vbox::callerIdRecord(format, number, "03050708", name, leadFF);
  EXPECT_TRUE(r.has_value());
  return r.value_or(vbox::Record{});
}

class Incoming : public test::LineFixture {
 protected:
  // Records arrive in order: once a reply-3 record that follows them has been handled,
  // so have they.
  void flushRecords() {
    clearStatusBits(kReply3Bit);
    ASSERT_TRUE(box_.sendRecord({3}));
    ASSERT_TRUE(eventually([] { return statusHas(kReply3Bit); }));
  }

  std::string readNumber() {
    unsigned char buffer[61];
    std::memset(buffer, 'X', sizeof buffer);
    const int rc = io_.Read_Call_Nmb(buffer);
    if (rc != 1) return "rc " + std::to_string(rc);
    if (buffer[0] == 'X') return "<untouched>";
    return reinterpret_cast<const char*>(buffer);
  }

  void ring(const vbox::Record& record) {
    clearStatusBits(kCallerNumberBit);
    ASSERT_TRUE(box_.sendRecord(record));
    ASSERT_TRUE(eventually([] { return statusHas(kCallerNumberBit); }));
  }
};

TEST_F(Incoming, CallerNumbersInTheThreeFormats) {
  using vbox::CallerIdFormat;
  EXPECT_EQ(readNumber(), "<untouched>") << "before any call";
  EXPECT_EQ(io_.ReadstrCallNmb(), "");

  ring(callerId(CallerIdFormat::SingleData, "5551234"));
  EXPECT_EQ(readNumber(), "5551234");
  EXPECT_FALSE(statusHas(kCallerNumberBit));
  EXPECT_EQ(readNumber(), "5551234") << "reading does not consume the record";

  ring(callerId(CallerIdFormat::MultipleData, "5551", "ANN"));
  EXPECT_EQ(io_.ReadstrCallNmb(), "5551");
  // Date and time, then the number: parity bits set on the line are cleared.
  auto withParity = callerId(CallerIdFormat::MultipleData, "5551", "ANN");
  ASSERT_EQ(withParity[14], 0x02);
  withParity[16] |= 0x80;
  withParity[19] |= 0x80;
  ring(withParity);
  EXPECT_EQ(readNumber(), "5551");
  ring(callerId(CallerIdFormat::MultipleData, "", "ANN"));
  EXPECT_EQ(readNumber(), "") << "no number parameter";

  ring(callerId(CallerIdFormat::DigitString, "789", "", true));
  EXPECT_EQ(readNumber(), "789");
  ring(callerId(CallerIdFormat::DigitString, "A123#"));
  EXPECT_EQ(readNumber(), "123");

  ring(vbox::noNumberRecord());
  EXPECT_EQ(readNumber(), "rc -2");
  EXPECT_FALSE(statusHas(kCallerNumberBit));
  EXPECT_EQ(io_.ReadstrCallNmb(), "-2");
}

TEST_F(Incoming, ARecordWithAnOversizedLengthStaysInsideTheRecord) {
  vbox::Record r{};
  r[0] = 4;
  r[1] = 1;
  r[2] = 0x05;
  r[3] = 255;
  for (size_t i = 4; i < r.size(); ++i) r[i] = '6';
  ring(r);
  EXPECT_EQ(readNumber(), std::string(60, '6')) << "cut where the stored record ends";
}

// The reply reader replaces the record while the application reads it: every number read
// is one call's number, never a mix of two.
TEST_F(Incoming, ANumberReadWhileTheRecordIsReplacedIsOneCallsNumber) {
  const auto first = callerId(vbox::CallerIdFormat::DigitString, std::string(50, '1'));
  const auto second = callerId(vbox::CallerIdFormat::DigitString, std::string(50, '2'));
  // Start from a record of this test: the store is process-wide and may still hold an
  // earlier test's record when the tests share a process.
  ASSERT_TRUE(box_.sendRecord(first));
  flushRecords();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (int i = 0; i < 400; ++i) box_.sendRecord(i % 2 ? first : second);
    box_.sendRecord({3});
    done = true;
  });
  clearStatusBits(kReply3Bit);
  int reads = 0;
  while (!(done && statusHas(kReply3Bit))) {
    const std::string n = readNumber();
    ++reads;
    if (n == "<untouched>") continue;
    EXPECT_TRUE(n == std::string(50, '1') || n == std::string(50, '2')) << n;
  }
  sender.join();
  EXPECT_GT(reads, 0);
}

TEST_F(Incoming, DtmfCodesInOrderAcrossTheWrap) {
  unsigned char code = 0xEE;
  EXPECT_EQ(io_.GetDTMFCode(&code), -4);
  EXPECT_EQ(code, 0xEE);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 20; ++i) box_.sendDtmf(static_cast<uint8_t>(round * 20 + i + 1));
    flushRecords();
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(io_.GetDTMFCode(&code), 1);
      EXPECT_EQ(code, round * 20 + i + 1);
    }
    EXPECT_EQ(io_.GetDTMFCode(&code), -4);
  }
  // Thirty unread codes: the ring looks empty.
  for (int i = 0; i < 30; ++i) box_.sendDtmf(9);
  flushRecords();
  EXPECT_EQ(io_.GetDTMFCode(&code), -4);
  EXPECT_FALSE(statusHas(kPendingBit));
}

TEST_F(Incoming, ToneReportsAndTheToneBit) {
  unsigned short report[2] = {77, 77};
  EXPECT_EQ(io_.Get450HzRecd(report), -2);
  EXPECT_EQ(report[0], 77);
  clearStatusBits(kToneBit);
  box_.sendTone(3, 10);
  flushRecords();
  EXPECT_FALSE(statusHas(kToneBit)) << "10 is not above 10";
  box_.sendTone(3, 11);
  box_.sendRecord({5, 3, 0x2C, 0x01});  // 300
  flushRecords();
  EXPECT_TRUE(statusHas(kToneBit));
  const unsigned short expected[3][2] = {{3, 10}, {3, 11}, {3, 300}};
  for (const auto& e : expected) {
    ASSERT_EQ(io_.Get450HzRecd(report), 1);
    EXPECT_EQ(report[0], e[0]);
    EXPECT_EQ(report[1], e[1]);
  }
  EXPECT_EQ(io_.Get450HzRecd(report), -2);
}

TEST_F(Incoming, ReportsWaitOutALinkDown) {
  box_.sendDtmf(5);
  box_.sendTone(1, 2);
  flushRecords();
  setStatusBits(kLinkDownBit);
  unsigned char code = 0;
  unsigned short report[2] = {};
  EXPECT_EQ(io_.GetDTMFCode(&code), -1);
  EXPECT_EQ(io_.Get450HzRecd(report), -1);
  clearStatusBits(kLinkDownBit);
  EXPECT_EQ(io_.GetDTMFCode(&code), 1);
  EXPECT_EQ(code, 5);
  EXPECT_EQ(io_.Get450HzRecd(report), 1);
  EXPECT_EQ(report[1], 2);
}

TEST_F(Incoming, ContinuingTheToneReportEmptiesTheRingOnlyWhenAnswered) {
  box_.sendTone(1, 2);
  flushRecords();
  box_.setSilent(true);
  {
    ScaledTime fast(100);
    EXPECT_EQ(io_.SetContinueReturn450Hz(true), -3);
  }
  box_.setSilent(false);
  box_.sendRecord({1});  // the late answer
  ASSERT_TRUE(eventually([] { return !statusHas(kPendingBit); }));
  unsigned short report[2] = {};
  ASSERT_EQ(io_.Get450HzRecd(report), 1) << "a time-out leaves the reports";

  box_.sendTone(1, 2);
  flushRecords();
  EXPECT_EQ(io_.SetContinueReturn450Hz(false), 1);
  EXPECT_EQ(io_.Get450HzRecd(report), -2);

  EXPECT_EQ(io_.SetCheckDTMFCall(true), 1);
  EXPECT_EQ(io_.SetCheckDTMFCall(false), 1);
  EXPECT_EQ(io_.DetectRing(), 1);
  EXPECT_EQ(sentPackets(),
            (std::vector<vbox::Packet>{makePacket({13}), makePacket({13}), makePacket({22, 1}),
                                       makePacket({22, 0}), makePacket({26})}));
}

TEST_F(Incoming, FlagsValueFromEitherReply) {
  box_.setFlagsValue(0x12345678);
  EXPECT_EQ(io_.ReaddiFlagsValue(), 0x12345678);
  box_.setFlagsViaType9(true);
  box_.setFlagsValue(0xFFFFFFFD);
  EXPECT_EQ(io_.ReaddiFlagsValue(), -3) << "the value's bits, whatever they read as";
  EXPECT_EQ(sentPackets(), (std::vector<vbox::Packet>{makePacket({24}), makePacket({24})}));
}

TEST_F(Incoming, TypeCodeAndInformationBlock) {
  box_.setTypeCode(0x35);
  unsigned char type[2] = {0xEE, 0xEE};
  EXPECT_EQ(io_.ReadQV_Type(type), 1);
  EXPECT_EQ(type[0], 0x35);
  EXPECT_EQ(type[1], 0x00);

  box_.setInfoBlock({'H', 0, 'S', 0, 0, 'P', 1, 2, 3, 4, 5});
  unsigned char info[13];
  std::memset(info, 0xEE, sizeof info);
  EXPECT_EQ(io_.ReadHSPInfo(info), 1);
  const unsigned char expected[13] = {'H', 0, 'S', 0, 0, 'P', 1, 2, 3, 4, 5, 0, 0xEE};
  EXPECT_EQ(std::memcmp(info, expected, sizeof info), 0);
  EXPECT_EQ(sentPackets(), (std::vector<vbox::Packet>{makePacket({27}), makePacket({36})}));

  box_.setSilent(true);
  ScaledTime fast(100);
  std::memset(type, 0xEE, sizeof type);
  EXPECT_EQ(io_.ReadQV_Type(type), -3);
  EXPECT_EQ(type[0], 0xEE) << "a time-out writes nothing";
}

TEST_F(Incoming, FlashTakesFourBlocksAndReturnsTheAcknowledgement) {
  box_.setFlashAck(0xA5);
  box_.setFlashAckType(19);
  unsigned char data[240];
  for (int i = 0; i < 240; ++i) data[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(io_.WriteDataToFlash(data), 0xA5);
  const auto flash = box_.flash();
  ASSERT_EQ(flash.size(), 240u);
  EXPECT_EQ(std::memcmp(flash.data(), data, 240), 0);
  const auto packets = sentPackets();
  ASSERT_EQ(packets.size(), 4u);
  for (size_t block = 0; block < 4; ++block) {
    vbox::Packet expected = makePacket({25, static_cast<uint8_t>(block)});
    std::memcpy(expected.data() + 4, data + 60 * block, 60);
    EXPECT_EQ(packets[block], expected) << block;
  }
}

TEST_F(Incoming, FlashStopsAtTheFirstUnansweredBlock) {
  box_.setResponder([](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
    if (p[0] == 25 && p[1] == 2) return std::vector<vbox::Record>{};
    return std::nullopt;
  });
  unsigned char data[240] = {};
  {
    ScaledTime fast(100);
    EXPECT_EQ(io_.WriteDataToFlash(data), -3);
  }
  box_.sendRecord({10, 0});  // the late answer
  ASSERT_TRUE(eventually([] { return !statusHas(kPendingBit); }));
  const auto packets = sentPackets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[2][1], 2);
}

// An operation whose result is its answer's data is ended by that answer alone: other
// records (rings, go-aheads, other commands' answers) do what they do, but leave it waiting.
TEST_F(Incoming, DataOperationsWaitForTheirOwnAnswer) {
  const std::vector<vbox::Record> others = {
      vbox::makeRecord({0}),         vbox::makeRecord({6}),
      vbox::makeRecord({8, 1, 2}),   vbox::makeRecord({9, 0}),
      vbox::makeRecord({9, 208, 2}), vbox::makeRecord({10, 0x77}),
      vbox::makeRecord({11, 0x66}),  vbox::makeRecord({18, 'x', 'x', 'x'}),
      vbox::makeRecord({19, 0x77}),  vbox::makeRecord({240, 1, 0, 0, 0x55}),
      vbox::makeRecord({240, 0}),    vbox::makeRecord({241, 0x55}),
  };
  struct Case {
    const char* name;
    uint8_t command;
    std::function<bool(const vbox::Record&)> answers;
    vbox::Record answer;
    std::function<int()> run;
    int expected;
  };
  unsigned char type[2] = {};
  unsigned char info[12] = {};
  unsigned char flash[240] = {};
  unsigned char test[64] = {};
  box_.setFlashAck(0xA5);
  const std::vector<Case> cases = {
      {"type code", 27, [](const vbox::Record& r) { return r[0] == 11; },
       vbox::makeRecord({11, 0x35}), [&] { return io_.ReadQV_Type(type) == 1 ? type[0] : -9; },
       0x35},
      {"information", 36, [](const vbox::Record& r) { return r[0] == 18; },
       vbox::makeRecord({18, 'H', 'S', 'P'}),
       [&] { return io_.ReadHSPInfo(info) == 1 ? info[2] : -9; }, 'P'},
      {"flags value", 24,
       [](const vbox::Record& r) { return r[0] == 8 || (r[0] == 9 && r[1] == 209); },
       vbox::makeRecord({9, 209, 0x21, 0x43}), [&] { return io_.ReaddiFlagsValue(); }, 0x4321},
      {"flash", 25, [](const vbox::Record& r) { return r[0] == 10 || r[0] == 19; },
       vbox::makeRecord({19, 0x11}), [&] { return io_.WriteDataToFlash(flash); }, 0xA5},
      {"test transfer", 0x33,
       [](const vbox::Record& r) { return (r[0] == 240 && r[1] == 1) || r[0] == 241; },
       vbox::makeRecord({241, 0x44}),
       [&] { return io_.Test_End0_WR(0x33, test) == 1 ? test[5] : -9; }, 0x44},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The first packet of the command is left to the test to answer.
    std::atomic<bool> held{false};
    box_.setResponder([&](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
      if (p[0] == c.command && !held.exchange(true)) return std::vector<vbox::Record>{};
      return std::nullopt;
    });
    std::atomic<int> result{-100};
    std::thread caller([&] { result = c.run(); });
    EXPECT_TRUE(eventually([&] { return held.load(); }));
    for (const auto& r : others) {
      if (c.answers(r)) continue;
      EXPECT_TRUE(box_.sendRecord(r));
    }
    flushRecords();
    EXPECT_TRUE(statusHas(kPendingBit)) << "an unrelated record ended the wait";
    EXPECT_EQ(result.load(), -100);
    EXPECT_TRUE(box_.sendRecord(c.answer));
    caller.join();
    EXPECT_EQ(result.load(), c.expected);
  }
}

// An answer that comes after its command timed out is not taken by the next command: the
// next one is sent when it has come, whatever came before it.
TEST_F(Incoming, ALateAnswerIsNotTakenByTheNextCommand) {
  box_.setResponder([](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
    if (p[0] == 27) return std::vector<vbox::Record>{};
    return std::nullopt;
  });
  unsigned char type[2] = {};
  {
    ScaledTime fast(100);
    EXPECT_EQ(io_.ReadQV_Type(type), -3);
  }
  box_.setResponder({});
  box_.setTypeCode(0x22);
  flushRecords();  // a ring: it does not free the channel
  EXPECT_TRUE(statusHas(kPendingBit));
  ASSERT_TRUE(box_.sendRecord({11, 0x11}));  // the late answer
  EXPECT_EQ(io_.ReadQV_Type(type), 1);
  EXPECT_EQ(type[0], 0x22);
}

// While a playback runs the flags value comes from the store without a command: shown
// with the command channel stopped, where any send would fail.
TEST_F(Incoming, FlagsValueDuringPlaybackSendsNothing) {
  io_.ExistUSB_IO();
  storeStatusWord(0);
  replyStores().flagsValue = 0x42;
  playerState().playbackFlag = 1;
  EXPECT_EQ(io_.ReaddiFlagsValue(), 0x42);
  playerState().playbackFlag = 0;
  EXPECT_EQ(io_.ReaddiFlagsValue(), -2);
}

}  // namespace
}  // namespace tavro
