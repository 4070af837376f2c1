#include "incoming/clock_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace tavro {
namespace {

TEST(ClockText, LocalTimeFixedWidth) {
  // 2026-03-05 05:08:09 UTC is 07:08:09 two hours east of it.
  setenv("TZ", "XYZ-2", 1);
  tzset();
  const std::time_t when = 1772687289;
  EXPECT_EQ(clockText(ClockField::kYear, when), "2026");
  EXPECT_EQ(clockText(ClockField::kMonth, when), "03");
  EXPECT_EQ(clockText(ClockField::kDay, when), "05");
  EXPECT_EQ(clockText(ClockField::kHour, when), "07");
  EXPECT_EQ(clockText(ClockField::kMinute, when), "08");
  EXPECT_EQ(clockText(ClockField::kSecond, when), "09");
  // A year below 1000 keeps four digits.
  EXPECT_EQ(clockText(ClockField::kYear, -30000000000LL), "1019");
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace tavro
