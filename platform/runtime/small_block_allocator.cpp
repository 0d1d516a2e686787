#include "platform/runtime/small_block_allocator.h"

#include <algorithm>
#include <new>

namespace qrs {
namespace {

// Rounded to whole max_align_t units so every block in a slab stays aligned.
size_t RoundedBlockSize(size_t block_size) {
  const size_t unit = sizeof(std::max_align_t);
  const size_t size = std::max(block_size, sizeof(void*));
  return (size + unit - 1) / unit * unit;
}

}  // namespace

SmallBlockAllocator::SmallBlockAllocator(size_t block_size, size_t blocks_per_slab)
    : block_size_(RoundedBlockSize(block_size)), blocks_per_slab_(std::max<size_t>(1, blocks_per_slab)) {}

SmallBlockAllocator::~SmallBlockAllocator() = default;

void* SmallBlockAllocator::Allocate() {
  std::lock_guard lock(mutex_);
  if (free_ == nullptr) {
    const size_t units_per_block = block_size_ / sizeof(std::max_align_t);
    auto slab = std::make_unique_for_overwrite<std::max_align_t[]>(units_per_block * blocks_per_slab_);
    std::byte* base = reinterpret_cast<std::byte*>(slab.get());
    // Thread the new blocks onto the free list, first block first.
    for (size_t i = blocks_per_slab_; i-- > 0;) {
      free_ = ::new (base + i * block_size_) FreeBlock{free_};
    }
    slabs_.push_back(std::move(slab));
  }
  FreeBlock* block = free_;
  free_ = block->next;
  ++in_use_;
  return block;
}

void SmallBlockAllocator::Free(void* block) {
  if (block == nullptr) return;
  std::lock_guard lock(mutex_);
  free_ = ::new (block) FreeBlock{free_};
  --in_use_;
}

size_t SmallBlockAllocator::SlabCount() const {
  std::lock_guard lock(mutex_);
  return slabs_.size();
}

size_t SmallBlockAllocator::BlocksInUse() const {
  std::lock_guard lock(mutex_);
  return in_use_;
}

}  // namespace qrs
