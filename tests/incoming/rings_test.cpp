#include "incoming/rings.h"
#include "incoming/stores.h"

#include <gtest/gtest.h>

#include "device/state.h"

namespace tavro {
namespace {

class Rings : public ::testing::Test {
 protected:
  void SetUp() override {
    replyStores().dtmfRead = 0;
    replyStores().dtmfWrite = 0;
    emptyToneRing();
  }
};

TEST_F(Rings, DtmfInOrderAcrossTheWrap) {
  uint8_t code = 0xAA;
  EXPECT_FALSE(takeDtmf(&code));
  EXPECT_EQ(code, 0xAA) << "an empty ring writes nothing";
  // 29 codes, taken; then the 30th lands in slot 29 and the 31st in slot 0.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) appendDtmf(static_cast<uint8_t>(round * 20 + i));
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(takeDtmf(&code));
      EXPECT_EQ(code, round * 20 + i);
    }
    EXPECT_FALSE(takeDtmf(&code));
  }
  EXPECT_EQ(replyStores().dtmfRead.load(), 0) << "60 entries: the index wrapped twice";
}

TEST_F(Rings, ThirtyUnreadLookEmpty) {
  for (int i = 0; i < 30; ++i) appendDtmf(static_cast<uint8_t>(i));
  uint8_t code;
  EXPECT_FALSE(takeDtmf(&code));
  appendDtmf(99);  // overwrites the oldest
  ASSERT_TRUE(takeDtmf(&code));
  EXPECT_EQ(code, 99);
}

TEST_F(Rings, ToneReportsArePairs) {
  uint16_t report[2] = {7, 7};
  EXPECT_FALSE(takeTone(report));
  EXPECT_EQ(report[0], 7);
  for (int i = 0; i < 20; ++i) {  // 40 entries: wraps at 29
    appendTone(static_cast<uint16_t>(i), static_cast<uint16_t>(300 + i));
    ASSERT_TRUE(takeTone(report));
    EXPECT_EQ(report[0], i);
    EXPECT_EQ(report[1], 300 + i);
  }
  // Half a report (its writer between the two entries) is not taken yet.
  replyStores().toneRing[replyStores().toneWrite] = 5;
  replyStores().toneWrite = nextRingIndex(replyStores().toneWrite.load());
  EXPECT_FALSE(takeTone(report));
  appendTone(1, 2);
  emptyToneRing();
  EXPECT_FALSE(takeTone(report));
}

TEST(RingIndex, Advance) {
  EXPECT_EQ(nextRingIndex<uint8_t>(0), 1);
  EXPECT_EQ(nextRingIndex<uint8_t>(28), 29);
  EXPECT_EQ(nextRingIndex<uint8_t>(29), 0);
  EXPECT_EQ(nextRingIndex<uint16_t>(200), 0) << "an index out of range comes back to 0";
}

}  // namespace
}  // namespace tavro
