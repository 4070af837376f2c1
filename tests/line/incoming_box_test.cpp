// Caller numbers, DTMF and tone reports, flags value and device information against the
// virtual box.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/command.h"
#include "device/state.h"
#include "line/box_fixture.h"
#include "platform/platform.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;
using test::eventually;
using test::ScaledTime;

std::vector<uint8_t> bytesOf(const std::string& s) {
  return {s.begin(), s.end()};
}

// A caller-ID reply as a box sends it: type 4, state 1, the message type, its length,
// body and checksum (the two's complement of the sum of type, length and body).
vbox::Record callerIdRecord(uint8_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> bytes = {4, 1, type, static_cast<uint8_t>(body.size())};
  uint8_t sum = type + bytes[3];
  for (uint8_t b : body) {
    bytes.push_back(b);
    sum += b;
  }
  bytes.push_back(static_cast<uint8_t>(-sum));
  vbox::Record r{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), r.size()), r.begin());
  return r;
}

std::vector<uint8_t> parameter(uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> p = {type, static_cast<uint8_t>(data.size())};
  p.insert(p.end(), data.begin(), data.end());
  return p;
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

  // Answers the commands whose code is `code` with `answer`.
  void answer(uint8_t code, std::vector<vbox::Record> answer) {
    box_.setResponder(
        [code, answer](const vbox::Packet& p) -> std::optional<std::vector<vbox::Record>> {
          if (p[0] == code) return answer;
          return std::nullopt;
        });
  }
};

TEST_F(Incoming, CallerNumbersInTheThreeFormats) {
  EXPECT_EQ(readNumber(), "<untouched>") << "before any call";
  EXPECT_EQ(io_.ReadstrCallNmb(), "");

  ring(callerIdRecord(0x04, bytesOf("030507085551234")));
  EXPECT_EQ(readNumber(), "5551234");
  EXPECT_FALSE(statusHas(kCallerNumberBit));
  EXPECT_EQ(readNumber(), "5551234") << "reading does not consume the record";

  const auto dateTime = parameter(0x01, bytesOf("03050708"));
  std::vector<uint8_t> body = dateTime;
  for (const auto& p : {parameter(0x02, {0xB5, 0x35, 0xB5, 0x31}), parameter(0x07, bytesOf("ANN"))})
    body.insert(body.end(), p.begin(), p.end());
  ring(callerIdRecord(0x80, body));
  EXPECT_EQ(io_.ReadstrCallNmb(), "5551") << "parity bits cleared";

  body = dateTime;
  const auto name = parameter(0x07, bytesOf("ANN"));
  body.insert(body.end(), name.begin(), name.end());
  ring(callerIdRecord(0x80, body));
  EXPECT_EQ(readNumber(), "") << "no number parameter";

  ring(callerIdRecord(0x05, {0xFF, '7', '8', '9', 0x0D}));
  EXPECT_EQ(readNumber(), "789");
  ring(callerIdRecord(0x05, bytesOf("A123#")));
  EXPECT_EQ(readNumber(), "123");

  ring(vbox::makeRecord({4, 2}));
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
  const auto first = callerIdRecord(0x05, std::vector<uint8_t>(50, '1'));
  const auto second = callerIdRecord(0x05, std::vector<uint8_t>(50, '2'));
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
    ASSERT_TRUE(n == std::string(50, '1') || n == std::string(50, '2')) << n;
  }
  sender.join();
  EXPECT_GT(reads, 0);
}

TEST_F(Incoming, DtmfCodesInOrderAcrossTheWrap) {
  unsigned char code = 0xEE;
  EXPECT_EQ(io_.GetDTMFCode(&code), -4);
  EXPECT_EQ(code, 0xEE);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 20; ++i) box_.sendRecord({7, static_cast<uint8_t>(round * 20 + i + 1)});
    flushRecords();
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(io_.GetDTMFCode(&code), 1);
      EXPECT_EQ(code, round * 20 + i + 1);
    }
    EXPECT_EQ(io_.GetDTMFCode(&code), -4);
  }
  // Thirty unread codes: the ring looks empty.
  for (int i = 0; i < 30; ++i) box_.sendRecord({7, 9});
  flushRecords();
  EXPECT_EQ(io_.GetDTMFCode(&code), -4);
  EXPECT_FALSE(statusHas(kPendingBit));
}

TEST_F(Incoming, ToneReportsAndTheToneBit) {
  unsigned short report[2] = {77, 77};
  EXPECT_EQ(io_.Get450HzRecd(report), -2);
  EXPECT_EQ(report[0], 77);
  clearStatusBits(kToneBit);
  box_.sendRecord({5, 3, 10, 0});
  flushRecords();
  EXPECT_FALSE(statusHas(kToneBit)) << "10 is not above 10";
  box_.sendRecord({5, 3, 11, 0});
  box_.sendRecord({5, 3, 0x2C, 0x01});
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
  box_.sendRecord({7, 5});
  box_.sendRecord({5, 1, 2, 0});
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
  box_.sendRecord({5, 1, 2, 0});
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

  box_.sendRecord({5, 1, 2, 0});
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
  answer(24, {vbox::makeRecord({8, 0x78, 0x56, 0x34, 0x12})});
  EXPECT_EQ(io_.ReaddiFlagsValue(), 0x12345678);
  answer(24, {vbox::makeRecord({9, 209, 0xFD, 0xFF, 0xFF, 0xFF})});
  EXPECT_EQ(io_.ReaddiFlagsValue(), -3) << "the value's bits, whatever they read as";
  EXPECT_EQ(sentPackets(), (std::vector<vbox::Packet>{makePacket({24}), makePacket({24})}));
}

TEST_F(Incoming, TypeCodeAndInformationBlock) {
  answer(27, {vbox::makeRecord({11, 0x35, 0x77})});
  unsigned char type[2] = {0xEE, 0xEE};
  EXPECT_EQ(io_.ReadQV_Type(type), 1);
  EXPECT_EQ(type[0], 0x35);
  EXPECT_EQ(type[1], 0x00);

  answer(36, {vbox::makeRecord({18, 'H', 0, 'S', 0, 0, 'P', 1, 2, 3, 4, 5, 0x99})});
  unsigned char info[13];
  std::memset(info, 0xEE, sizeof info);
  EXPECT_EQ(io_.ReadHSPInfo(info), 1);
  const unsigned char expected[13] = {'H', 0, 'S', 0, 0, 'P', 1, 2, 3, 4, 5, 0, 0xEE};
  EXPECT_EQ(std::memcmp(info, expected, sizeof info), 0);

  box_.setSilent(true);
  ScaledTime fast(100);
  std::memset(type, 0xEE, sizeof type);
  EXPECT_EQ(io_.ReadQV_Type(type), -3);
  EXPECT_EQ(type[0], 0xEE) << "a time-out writes nothing";
}

TEST_F(Incoming, FlashTakesFourBlocksAndReturnsTheAcknowledgement) {
  answer(25, {vbox::makeRecord({19, 0xA5})});
  unsigned char data[240];
  for (int i = 0; i < 240; ++i) data[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(io_.WriteDataToFlash(data), 0xA5);
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
  box_.sendRecord({1});
  ASSERT_TRUE(eventually([] { return !statusHas(kPendingBit); }));
  const auto packets = sentPackets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[2][1], 2);
}

// While a playback runs the flags value comes from the store without a command: shown
// with the command channel stopped, where any send would fail.
TEST_F(Incoming, FlagsValueDuringPlaybackSendsNothing) {
  io_.ExistUSB_IO();
  storeStatusWord(0);
  state().flagsValue = 0x42;
  state().audioOut.playbackFlag = 1;
  EXPECT_EQ(io_.ReaddiFlagsValue(), 0x42);
  state().audioOut.playbackFlag = 0;
  EXPECT_EQ(io_.ReaddiFlagsValue(), -2);
}

}  // namespace
}  // namespace tavro
