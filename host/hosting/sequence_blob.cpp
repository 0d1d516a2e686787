#include "host/hosting/sequence_blob.h"

#include <algorithm>
#include <cstring>

#include "platform/runtime/media_time.h"

namespace host {
namespace {

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

}  // namespace

std::vector<uint8_t> FlatRecordWithSelection(std::vector<uint64_t> selected) {
  std::sort(selected.begin(), selected.end());
  selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
  std::vector<uint8_t> bytes(88 + 8 * selected.size(), 0);
  Put<uint32_t>(bytes, 0, 0x6e69636b);  // "kcin"
  Put<uint32_t>(bytes, 4, 1);
  const qrs::RatioTime never = qrs::TimeToRatioTime(qrs::kTime_Invalid);
  Put<int64_t>(bytes, 40, never.num);
  Put<int64_t>(bytes, 48, never.den);
  bytes[56] = 1;  // flat
  Put<uint64_t>(bytes, 72, selected.size());
  for (size_t i = 0; i < selected.size(); ++i) Put<uint64_t>(bytes, 80 + 8 * i, selected[i]);
  return bytes;
}

}  // namespace host
