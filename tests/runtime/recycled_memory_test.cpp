#include "platform/runtime/recycled_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace qrscore::utility {
namespace {

TEST(RecycledMemory, FrameSizedBlocksAreReusedOnceWarm) {
  TrimRecycledMemory();
  { RecycledMemory warm(1920 * 1080 * 4); }
  const RecycledMemoryStats before = RecycledMemoryStatistics();
  for (int frame = 0; frame < 10; ++frame) {
    RecycledMemory block(1920 * 1080 * 4);
    std::memset(block.data(), frame, block.size());  // the whole block is ours to write
  }
  const RecycledMemoryStats after = RecycledMemoryStatistics();
  EXPECT_EQ(after.fresh_allocations, before.fresh_allocations);
  EXPECT_EQ(after.reuses, before.reuses + 10);
  TrimRecycledMemory();
  EXPECT_EQ(RecycledMemoryStatistics().pooled_bytes, 0u);
}

TEST(RecycledMemory, ThreadsNeverShareABlock) {
  TrimRecycledMemory();
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 200; ++i) {
        RecycledMemory block(4096 + (i % 3));
        std::memset(block.data(), t + 1, block.size());
        std::this_thread::yield();
        for (size_t k = 0; k < block.size(); k += 97)
          if (block.data()[k] != t + 1) ++bad[t];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad, std::vector<int>(4, 0));
  TrimRecycledMemory();
}

}  // namespace
}  // namespace qrscore::utility
