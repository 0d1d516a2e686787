// The host's monotonic clock for measuring intervals (never goes back, unaffected by changes
// of the wall clock).
#pragma once

#include <cstdint>

namespace qrs::HighPrecisionTime {

inline constexpr uint64_t kTicksPerSecond = 1'000'000'000;  // nanoseconds

uint64_t GetTickCount();

}  // namespace qrs::HighPrecisionTime
