#include "platform/runtime/media_time.h"

#include <gtest/gtest.h>

namespace qrs {
namespace {

TEST(MediaTime, RatiosAreNormalisedAndRoundTrip) {
  EXPECT_EQ(TimeToRatioTime(kTicksPerSecond / 2), (RatioTime{1, 2}));
  EXPECT_EQ(TimeToRatioTime(0), (RatioTime{0, 1}));
  const TickTime ntsc_frame = kTicksPerSecond * 1001 / 30000;  // whole ticks by design
  EXPECT_EQ(ntsc_frame * 30000, kTicksPerSecond * 1001);
  EXPECT_EQ(TimeToRatioTime(ntsc_frame), (RatioTime{1001, 30000}));
  EXPECT_EQ(RatioTimeToTime({1001, 30000}), ntsc_frame);
  EXPECT_EQ(RatioTimeToTime({-1, 3}), -kTicksPerSecond / 3);
  // The invalid time still converts to a ratio with a positive denominator, and back.
  const RatioTime invalid = TimeToRatioTime(kTime_Invalid);
  EXPECT_GT(invalid.den, 0);
  EXPECT_EQ(RatioTimeToTime(invalid), kTime_Invalid);
  EXPECT_EQ(RatioTimeToTime({1, 0}), kTime_Invalid);
}

}  // namespace
}  // namespace qrs
