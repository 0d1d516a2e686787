// Host tick time and its exact rational form in seconds.
#pragma once

#include <cstdint>
#include <limits>

namespace qrs {

// Ticks per second: divisible by every common frame rate, NTSC's x/1001 rates included
// (2^7 * 3^2 * 5^4 * 7 * 11 * 13), so frame durations are whole ticks.
inline constexpr int64_t kTicksPerSecond = 720720000;

using TickTime = int64_t;
inline constexpr TickTime kTime_Invalid = std::numeric_limits<int64_t>::min();

// Seconds as a normalised rational: gcd 1, denominator positive.
struct RatioTime {
  int64_t num = 0;
  int64_t den = 1;
  friend bool operator==(const RatioTime&, const RatioTime&) = default;
};

RatioTime TimeToRatioTime(TickTime ticks);
// Rounds to the nearest tick, halves away from zero; saturates instead of overflowing.
TickTime RatioTimeToTime(RatioTime time);

}  // namespace qrs
