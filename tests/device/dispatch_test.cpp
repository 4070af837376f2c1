// The reply records' effects on the stores and the status word, one row at a time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_state.h"
#include "device/threads.h"
#include "incoming/stores.h"
#include "platform/platform.h"
#include "support/runtime_dir.h"
#include "tavro/CKusb_IO.h"
#include "tavro/notice.h"

namespace tavro {
namespace {

class Dispatch : public ::testing::Test {
 protected:
  // A library object without a box: its reply reader only tries to connect, so the records
  // dispatched here are the only ones.
  static void SetUpTestSuite() {
    runtime_ = new test::RuntimeDir;
    platform::setTimeScale(50);
    io_ = new CKusb_IO;
    platform::setTimeScale(1);
  }
  static void TearDownTestSuite() {
    delete io_;
    delete runtime_;
  }
  void SetUp() override {
    storeStatusWord(kInitialisedBit);
    replyStores().toneWrite.store(0);
    replyStores().dtmfWrite.store(0);
    previous_ = setNoticeHandler([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(noticeMutex_);
      notices_.push_back(text);
    });
  }
  void TearDown() override { setNoticeHandler(previous_); }

  // Dispatches a 64-byte record that starts with `head`.
  bool dispatch(std::initializer_list<uint8_t> head) {
    uint8_t r[64] = {};
    std::copy(head.begin(), head.end(), r);
    return dispatchReplyRecord(r, sizeof r);
  }
  unsigned char* testArea() { return io_->testReplyArea; }

  static inline test::RuntimeDir* runtime_ = nullptr;
  static inline CKusb_IO* io_ = nullptr;
  // The notices shown so far; they are shown on a thread of their own.
  std::vector<std::string> notices() {
    EXPECT_TRUE(platform::awaitNoticesDelivered(std::chrono::seconds(20)));
    std::lock_guard<std::mutex> lock(noticeMutex_);
    return notices_;
  }

  std::mutex noticeMutex_;
  std::vector<std::string> notices_;
  NoticeHandler previous_;
};

TEST_F(Dispatch, ClearingAndNonClearingTypes) {
  for (int type : {0, 1, 3, 6, 8, 9, 10, 11, 18, 19, 241, 42, 255}) {
    EXPECT_TRUE(dispatch({static_cast<uint8_t>(type)})) << "type " << type;
  }
  for (int type : {5, 7, 208}) EXPECT_FALSE(dispatch({static_cast<uint8_t>(type)})) << type;
  EXPECT_FALSE(dispatch({240, 0}));
  EXPECT_TRUE(dispatch({240, 1}));
}

TEST_F(Dispatch, ReplyBitsAndTheNoUsedNotice) {
  dispatch({3});
  EXPECT_TRUE(statusHas(kReply3Bit));
  EXPECT_TRUE(dispatch({2, 0}));
  EXPECT_FALSE(statusHas(kReply3Bit));
  EXPECT_EQ(notices(), (std::vector<std::string>{"NoUsed 0x02"}));
  dispatch({2, 1});
  EXPECT_TRUE(statusHas(kReply3Bit));
  EXPECT_EQ(notices(), (std::vector<std::string>{"NoUsed 0x02", "NoUsed 0x02"}));
  dispatch({6});
  EXPECT_TRUE(statusHas(kReply6Bit));
}

TEST_F(Dispatch, CallerNumberRecordIsDroppedBeforeInitialisation) {
  storeStatusWord(0);
  replyStores().callerNumberRecord.fill(0x55);
  EXPECT_FALSE(dispatch({4, 1, 5, 3, '1', '2', '3', 9}));
  EXPECT_FALSE(statusHas(kCallerNumberBit));
  EXPECT_EQ(replyStores().callerNumberRecord[0], 0x55);
}

TEST_F(Dispatch, CallerNumberRecordCopiesItsLengthAndAZero) {
  replyStores().callerNumberRecord.fill(0x55);
  EXPECT_TRUE(dispatch({4, 1, 5, 3, '7', '8', '9', 0x77}));
  EXPECT_TRUE(statusHas(kCallerNumberBit));
  const auto& rec = replyStores().callerNumberRecord;
  const uint8_t expected[] = {1, 5, 3, '7', '8', '9', 0x77, 0};
  EXPECT_EQ(0, std::memcmp(rec.data(), expected, sizeof expected));
  EXPECT_EQ(rec[8], 0);  // zeros to the end: nothing of an earlier record stays
}

TEST_F(Dispatch, NoNumberRecordKeepsTheOlderBytes) {
  dispatch({4, 1, 5, 3, '7', '8', '9', 0x77});
  dispatch({4, 2, 0xEE, 0xEE});
  const auto& rec = replyStores().callerNumberRecord;
  EXPECT_EQ(rec[0], 2);
  EXPECT_EQ(rec[1], 0);
  EXPECT_EQ(rec[2], 3);
  EXPECT_EQ(rec[3], '7');
}

TEST_F(Dispatch, CallerNumberLengthPastTheRecordStaysInside) {
  uint8_t r[64];
  std::memset(r, 'x', sizeof r);
  r[0] = 4;
  r[1] = 1;
  r[3] = 255;
  replyStores().callerNumberRecord.fill(0);
  EXPECT_TRUE(dispatchReplyRecord(r, sizeof r));
  const auto& rec = replyStores().callerNumberRecord;
  EXPECT_EQ(rec[62], 'x');  // 63 bytes copied
  EXPECT_EQ(rec[63], 0);    // and the zero, inside the record
}

TEST_F(Dispatch, ShortReadsNeverSeeAnEarlierRecord) {
  dispatch({4, 1, 5, 20, 'a', 'b', 'c', 'd', 'e', 'f'});
  // Only three bytes arrive this time: the rest is not taken from the earlier record.
  const uint8_t shortRecord[] = {4, 1, 5};
  replyStores().callerNumberRecord.fill(0x55);
  dispatchReplyRecord(shortRecord, sizeof shortRecord);
  const auto& rec = replyStores().callerNumberRecord;
  EXPECT_EQ(rec[0], 1);
  EXPECT_EQ(rec[1], 5);
  EXPECT_EQ(rec[2], 0);  // two bytes received after the type, then zeros
  EXPECT_EQ(rec[3], 0);
}

TEST_F(Dispatch, ToneReportsFillTheRingAndSetTheToneBitAboveTen) {
  dispatch({5, 3, 0x0A, 0x00});
  EXPECT_FALSE(statusHas(kToneBit));
  EXPECT_EQ(replyStores().toneRing[0].load(), 3);
  EXPECT_EQ(replyStores().toneRing[1].load(), 10);
  dispatch({5, 3, 0x2C, 0x01});
  EXPECT_TRUE(statusHas(kToneBit));
  EXPECT_EQ(replyStores().toneRing[3].load(), 300);
  EXPECT_EQ(replyStores().toneWrite.load(), 4);
}

TEST_F(Dispatch, DtmfRingWrapsAtThirty) {
  for (int i = 0; i < 31; ++i) dispatch({7, static_cast<uint8_t>(i)});
  EXPECT_EQ(replyStores().dtmfWrite.load(), 1);
  EXPECT_EQ(replyStores().dtmfRing[0].load(), 30);
  EXPECT_EQ(replyStores().dtmfRing[29].load(), 29);
}

TEST_F(Dispatch, FlagsValueFromTypes8And9) {
  dispatch({8, 0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(replyStores().flagsValue.load(), 0x12345678u);
  playerState().deviceReady.store(0);
  dispatch({9, 209, 0x01, 0x02, 0x03, 0x04});
  EXPECT_EQ(replyStores().flagsValue.load(), 0x04030201u);
  EXPECT_EQ(playerState().deviceReady.load(), 1);
  dispatch({9, 7});
  EXPECT_EQ(replyStores().flagsValue.load(), 0x04030201u);
}

TEST_F(Dispatch, AcknowledgeByteAndReplyBuffer) {
  dispatch({10, 0x42});
  EXPECT_EQ(replyStores().acknowledgeByte.load(), 0x42);
  dispatch({19, 0x43});
  EXPECT_EQ(replyStores().acknowledgeByte.load(), 0x43);
  dispatch({18, 1, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const uint8_t info[] = {1, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0};
  EXPECT_EQ(0, std::memcmp(replyStores().replyBuffer.data(), info, sizeof info));
  dispatch({11, 0x35, 0x99});
  EXPECT_EQ(replyStores().replyBuffer[0], 0x35);
  EXPECT_EQ(replyStores().replyBuffer[1], 0);
}

TEST_F(Dispatch, StatusItemsInType208AndType9) {
  dispatch({208, 1, 1});
  EXPECT_TRUE(statusHas(kOffHookBit));
  dispatch({208, 1, 5});
  EXPECT_FALSE(statusHas(kOffHookBit));
  dispatch({9, 208, 1, 1});
  EXPECT_TRUE(statusHas(kOffHookBit));
  dispatch({208, 1, 0});
  EXPECT_FALSE(statusHas(kOffHookBit));

  playerState().playbackFault.store(0);
  dispatch({208, 3, 1});
  dispatch({208, 2, 0});
  EXPECT_EQ(playerState().playbackFault.load(), 0);
  EXPECT_FALSE(statusHas(kOffHookBit));
  dispatch({208, 3, 0});
  EXPECT_EQ(playerState().playbackFault.load(), -1);
}

TEST_F(Dispatch, TestReplyAreaFromTypes240And241) {
  uint8_t r[64];
  for (int i = 0; i < 64; ++i) r[i] = static_cast<uint8_t>(i);
  r[0] = 240;
  r[1] = 1;
  dispatchReplyRecord(r, sizeof r);
  EXPECT_EQ(testArea()[0], 4);
  EXPECT_EQ(testArea()[59], 63);
  r[0] = 241;
  dispatchReplyRecord(r, sizeof r);
  EXPECT_EQ(testArea()[0], 241);
  EXPECT_EQ(testArea()[63], 63);
}

}  // namespace
}  // namespace tavro
