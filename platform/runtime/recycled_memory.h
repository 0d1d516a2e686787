// Frame-sized scratch blocks that are reused from render to render: a block released goes back
// to a process-wide pool keyed by its size, and the next request of that size takes it again.
// Safe to use from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrscore::utility {

class RecycledMemory {
 public:
  // A block of `size` bytes, content undefined. Throws std::bad_alloc when none can be had.
  explicit RecycledMemory(size_t size);
  ~RecycledMemory();
  RecycledMemory(const RecycledMemory&) = delete;
  RecycledMemory& operator=(const RecycledMemory&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_;
  size_t size_;
};

struct RecycledMemoryStats {
  uint64_t fresh_allocations;  // blocks that had to come from the system
  uint64_t reuses;             // blocks taken from the pool
  size_t pooled_bytes;         // held for reuse right now
};
RecycledMemoryStats RecycledMemoryStatistics();

// Frees every pooled block (blocks in use are not affected).
void TrimRecycledMemory();

// The pool keeps at most this many idle bytes; beyond it the oldest idle blocks are freed.
inline constexpr size_t kRecycledMemoryPoolLimit = size_t{1} << 30;

}  // namespace qrscore::utility
