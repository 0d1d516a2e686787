// Fixed-size blocks carved from larger slabs, for many short-lived small objects of one size.
// Freed blocks are reused; slabs are kept until the allocator is destroyed. Thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace qrs {

class SmallBlockAllocator {
 public:
  // Blocks hold at least `block_size` bytes (and a pointer) and are aligned for any
  // fundamental type. blocks_per_slab < 1 is taken as 1.
  explicit SmallBlockAllocator(size_t block_size, size_t blocks_per_slab = 256);
  SmallBlockAllocator(const SmallBlockAllocator&) = delete;
  SmallBlockAllocator& operator=(const SmallBlockAllocator&) = delete;
  // Frees every slab; blocks still handed out become invalid.
  ~SmallBlockAllocator();

  // Throws std::bad_alloc when no slab can be had.
  void* Allocate();
  // `block` must come from this allocator's Allocate (null is ignored).
  void Free(void* block);

  size_t BlockSize() const { return block_size_; }
  size_t SlabCount() const;
  size_t BlocksInUse() const;

 private:
  struct FreeBlock {
    FreeBlock* next;
  };

  const size_t block_size_;
  const size_t blocks_per_slab_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<std::max_align_t[]>> slabs_;
  FreeBlock* free_ = nullptr;
  size_t in_use_ = 0;
};

}  // namespace qrs
