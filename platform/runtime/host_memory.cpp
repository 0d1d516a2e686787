#include "platform/runtime/host_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
// The size is kept in front of the block, which stays aligned for any scalar.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t) : sizeof(size_t);
}  // namespace

// One allocator on both sides, so a block crosses the module boundary safely.
void* HvNewPtr(size_t size) {
  if (size > std::numeric_limits<size_t>::max() - kHeader) return nullptr;
  auto* base = static_cast<unsigned char*>(std::malloc(kHeader + size));
  if (base == nullptr) return nullptr;
  std::memcpy(base, &size, sizeof size);
  return base + kHeader;
}

size_t HvGetPtrSize(const void* block) {
  if (block == nullptr) return 0;
  size_t size = 0;
  std::memcpy(&size, static_cast<const unsigned char*>(block) - kHeader, sizeof size);
  return size;
}

void HvDisposePtr(void* block) {
  if (block != nullptr) std::free(static_cast<unsigned char*>(block) - kHeader);
}
