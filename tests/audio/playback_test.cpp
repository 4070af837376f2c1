// Start offsets and progress of a played file.
#include "audio/playback.h"

#include <gtest/gtest.h>

namespace tavro {
namespace {

TEST(PlayOffsets, StartOffsetsBelowAndAboveTheExactLimit) {
  EXPECT_EQ(startOffset(10000, 500), 5000u);
  EXPECT_EQ(startOffset(5000000, 500), 2500000u);
  EXPECT_EQ(startOffset(1000, 0), 0u);
  EXPECT_EQ(startOffset(1000, 1000), 1000u);
  EXPECT_EQ(startOffset(3999999, 999), 3995999u);  // exact: 3999999 * 999 / 1000
  EXPECT_EQ(startOffset(4000999, 999), 3996000u);  // divides first: 4000 * 999
  EXPECT_EQ(startOffset(0xFFFFFFFFu, 1000), 4294967000u);
  EXPECT_EQ(startOffset(10000, 250), 2500u);
}

TEST(PlayOffsets, PositionsOutsideTheFileAreClamped) {
  EXPECT_EQ(startOffset(10000, -1), 0u);
  EXPECT_EQ(startOffset(10000, -2147483647 - 1), 0u);
  EXPECT_EQ(startOffset(10000, 1001), 10000u);
  // Would wrap the 32-bit product otherwise and land inside the file.
  EXPECT_EQ(startOffset(0xF0000000u, 5000), startOffset(0xF0000000u, 1000));
}

TEST(PlayOffsets, RateInThousandths) {
  EXPECT_EQ(playRate(0, 0), 0);
  EXPECT_EQ(playRate(512, 0), 0);
  EXPECT_EQ(playRate(512, 1000), 512);
  EXPECT_EQ(playRate(1000, 1000), 1000);
  EXPECT_EQ(playRate(512, 1024), 500);
  EXPECT_EQ(playRate(3999999, 4000000), 999);
  EXPECT_EQ(playRate(2500000, 5000000), 500);
  EXPECT_EQ(playRate(5000000, 5000000), 1000);
  // Lengths past 2 GiB stay positive.
  EXPECT_EQ(playRate(3000000000u, 3000000000u), 1000);
  EXPECT_EQ(playRate(1500000000u, 3000000000u), 500);
}

}  // namespace
}  // namespace tavro
