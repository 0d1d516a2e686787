#include "platform/runtime/recycled_memory.h"

#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace qrscore::utility {
namespace {

struct Pool {
  std::mutex mutex;
  std::unordered_map<size_t, std::vector<uint8_t*>> idle;  // by exact size
  std::deque<std::pair<size_t, uint8_t*>> order;           // oldest idle first, for trimming
  size_t idle_bytes = 0;
  uint64_t fresh = 0;
  uint64_t reuses = 0;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // outlives every static that might still release a block
  return *pool;
}

void ForgetOrder(Pool& pool, uint8_t* block) {
  for (auto it = pool.order.begin(); it != pool.order.end(); ++it)
    if (it->second == block) {
      pool.order.erase(it);
      return;
    }
}

uint8_t* TakeIdle(Pool& pool, size_t size) {
  std::lock_guard lock(pool.mutex);
  const auto it = pool.idle.find(size);
  if (it == pool.idle.end() || it->second.empty()) return nullptr;
  uint8_t* block = it->second.back();
  it->second.pop_back();
  pool.idle_bytes -= size;
  ForgetOrder(pool, block);
  ++pool.reuses;
  return block;
}

void GiveBack(Pool& pool, uint8_t* block, size_t size) {
  std::vector<uint8_t*> to_free;
  {
    std::lock_guard lock(pool.mutex);
    pool.idle[size].push_back(block);
    pool.order.emplace_back(size, block);
    pool.idle_bytes += size;
    while (pool.idle_bytes > kRecycledMemoryPoolLimit && !pool.order.empty()) {
      const auto [old_size, old_block] = pool.order.front();
      pool.order.pop_front();
      auto& list = pool.idle[old_size];
      std::erase(list, old_block);
      pool.idle_bytes -= old_size;
      to_free.push_back(old_block);
    }
  }
  for (uint8_t* b : to_free) std::free(b);
}

}  // namespace

RecycledMemory::RecycledMemory(size_t size) : size_(size) {
  Pool& pool = ThePool();
  const size_t bytes = size ? size : 1;
  data_ = TakeIdle(pool, bytes);
  if (data_ == nullptr) {
    data_ = static_cast<uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
    if (data_ == nullptr) throw std::bad_alloc();
    std::lock_guard lock(pool.mutex);
    ++pool.fresh;
  }
}

RecycledMemory::~RecycledMemory() { GiveBack(ThePool(), data_, size_ ? size_ : 1); }

RecycledMemoryStats RecycledMemoryStatistics() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  return {pool.fresh, pool.reuses, pool.idle_bytes};
}

void TrimRecycledMemory() {
  Pool& pool = ThePool();
  std::vector<uint8_t*> to_free;
  {
    std::lock_guard lock(pool.mutex);
    for (const auto& [size, block] : pool.order) to_free.push_back(block);
    pool.order.clear();
    pool.idle.clear();
    pool.idle_bytes = 0;
  }
  for (uint8_t* b : to_free) std::free(b);
}

}  // namespace qrscore::utility
