#include "platform/runtime/media_time.h"

#include <numeric>

namespace qrs {

RatioTime TimeToRatioTime(TickTime ticks) {
  // gcd(a, b) = gcd(a mod b, b); reducing first keeps std::gcd from taking |INT64_MIN|.
  const int64_t g = std::gcd(ticks % kTicksPerSecond, kTicksPerSecond);
  return {ticks / g, kTicksPerSecond / g};
}

TickTime RatioTimeToTime(RatioTime time) {
  if (time.den == 0) return kTime_Invalid;
  const __int128 scaled = static_cast<__int128>(time.num) * kTicksPerSecond;
  __int128 den = time.den;
  __int128 q = scaled / den;
  const __int128 r = scaled % den;
  // Round half away from zero.
  const __int128 twice_r = r < 0 ? -2 * r : 2 * r;
  const __int128 abs_den = den < 0 ? -den : den;
  if (twice_r >= abs_den) q += ((scaled < 0) != (den < 0)) ? -1 : 1;
  if (q > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (q < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<TickTime>(q);
}

}  // namespace qrs
