#include "platform/runtime/high_precision_time.h"

#include <chrono>

namespace qrs::HighPrecisionTime {

uint64_t GetTickCount() {
  using namespace std::chrono;
  static_assert(steady_clock::is_steady);
  return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace qrs::HighPrecisionTime
