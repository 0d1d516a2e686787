#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/runtime/error_reporter.h"
#include "platform/runtime/guid.h"
#include "platform/runtime/high_precision_time.h"
#include "platform/runtime/pause_callbacks.h"
#include "platform/runtime/small_block_allocator.h"

namespace qrs {
namespace {

TEST(Guid, WellFormedTextGivesTheBytesInTextOrder) {
  GUID g;
  ASSERT_TRUE(Guid::StringToGUID("00112233-4455-6677-8899-AaBbCcDdEeFf", &g));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(g.bytes[i], i * 0x11) << i;
  EXPECT_EQ(Guid::GUIDToString(g), "00112233-4455-6677-8899-aabbccddeeff");

  // Ordering follows the text, which the frame-key maps rely on.
  GUID lo, hi;
  ASSERT_TRUE(Guid::StringToGUID("00000000-0000-0000-0000-0000000000ff", &lo));
  ASSERT_TRUE(Guid::StringToGUID("00000000-0000-0000-0000-000000000100", &hi));
  EXPECT_LT(lo, hi);

  const GUID fresh = Guid::NewGUID();
  GUID back;
  ASSERT_TRUE(Guid::StringToGUID(Guid::GUIDToString(fresh), &back));
  EXPECT_EQ(back, fresh);
  EXPECT_NE(Guid::NewGUID(), fresh);
}

TEST(Guid, MalformedTextIsRefusedAndLeavesTheOutputAlone) {
  const GUID sentinel = Guid::NewGUID();
  for (const char* text : {
           "",
           "00112233-4455-6677-8899-aabbccddeef",    // 35 characters
           "00112233-4455-6677-8899-aabbccddeeff0",  // 37 characters
           "{0112233-4455-6677-8899-aabbccddeeff",   // braces are not part of the form
           "00112233-4455-6677-8899-aabbccddeefg",   // not hexadecimal
           "001122334-455-6677-8899-aabbccddeeff",   // hyphen misplaced
           "00112233-4455-6677-8899_aabbccddeeff",   // wrong separator
           "001122330445506677088990aabbccddeeff",   // digits where hyphens belong
       }) {
    GUID g = sentinel;
    EXPECT_FALSE(Guid::StringToGUID(text, &g)) << text;
    EXPECT_EQ(g, sentinel) << text;
  }
  EXPECT_FALSE(Guid::StringToGUID("00112233-4455-6677-8899-aabbccddeeff", nullptr));
}

TEST(HighPrecisionTime, TicksNeverGoBackAndAdvance) {
  uint64_t last = HighPrecisionTime::GetTickCount();
  const uint64_t first = last;
  for (int i = 0; i < 1000; ++i) {
    const uint64_t now = HighPrecisionTime::GetTickCount();
    EXPECT_GE(now, last);
    last = now;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(HighPrecisionTime::GetTickCount(), first);
}

TEST(ErrorReporter, RecordsEveryArgumentInOrder) {
  config::ClearReportedErrors();
  config::ThrowError(1, "$$$/stabilizer/error/UnknownError=Unknown process exception.", 17, 742, true, {});
  config::ThrowError(2, "second", 3, 4, false, {{{"a"}, {"b"}, {}, {}}});
  const auto errors = config::ReportedErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].level, 1);
  EXPECT_EQ(errors[0].message, "$$$/stabilizer/error/UnknownError=Unknown process exception.");
  EXPECT_EQ(errors[0].category, 17);
  EXPECT_EQ(errors[0].code, 742);
  EXPECT_TRUE(errors[0].show_user);
  EXPECT_EQ(errors[0].replacements, config::ReplacementValues{});
  EXPECT_EQ(errors[1].message, "second");
  EXPECT_FALSE(errors[1].show_user);
  EXPECT_EQ(errors[1].replacements[1].text, "b");
  config::ClearReportedErrors();
  EXPECT_TRUE(config::ReportedErrors().empty());
}

TEST(SmallBlockAllocator, BlocksAreAlignedDistinctAndReused) {
  SmallBlockAllocator allocator(20, 4);
  EXPECT_GE(allocator.BlockSize(), 20u);
  std::set<void*> seen;
  std::vector<void*> blocks;
  for (int i = 0; i < 9; ++i) {
    void* b = allocator.Allocate();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t), 0u);
    EXPECT_TRUE(seen.insert(b).second);
    blocks.push_back(b);
  }
  EXPECT_EQ(allocator.SlabCount(), 3u);
  EXPECT_EQ(allocator.BlocksInUse(), 9u);
  allocator.Free(blocks[3]);
  EXPECT_EQ(allocator.Allocate(), blocks[3]);  // the freed block comes back first
  for (void* b : blocks) allocator.Free(b);
  allocator.Free(nullptr);
  EXPECT_EQ(allocator.BlocksInUse(), 0u);
  EXPECT_EQ(allocator.SlabCount(), 3u);
}

TEST(SmallBlockAllocator, ConcurrentAllocateAndFreeKeepBlocksPrivate) {
  SmallBlockAllocator allocator(sizeof(uint64_t) * 4, 16);
  constexpr int kThreads = 8, kRounds = 2000, kHeld = 8;
  std::vector<std::thread> threads;
  std::atomic<int> corrupted{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        uint64_t* held[kHeld];
        const uint64_t stamp = static_cast<uint64_t>(t) << 32 | static_cast<uint64_t>(round);
        for (auto& b : held) {
          b = static_cast<uint64_t*>(allocator.Allocate());
          for (int k = 0; k < 4; ++k) b[k] = stamp;
        }
        for (auto* b : held) {
          for (int k = 0; k < 4; ++k) {
            if (b[k] != stamp) corrupted.fetch_add(1);
          }
          allocator.Free(b);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(corrupted.load(), 0);
  EXPECT_EQ(allocator.BlocksInUse(), 0u);
  EXPECT_LE(allocator.SlabCount(), static_cast<size_t>(kThreads * kHeld / 16));
}

TEST(PauseCallbacks, EveryRegisteredCallbackHearsUntilUnregistered) {
  const int before = ML::PauseCallbackCount();
  std::vector<std::pair<int, bool>> calls;
  const GUID a = ML::RegisterPauseCallback([&](bool p) { calls.emplace_back(1, p); });
  GUID b;
  b = ML::RegisterPauseCallback([&](bool p) {
    calls.emplace_back(2, p);
    if (!p) ML::UnregisterPauseCallback(b);  // a callback may remove itself
  });
  EXPECT_NE(a, b);
  EXPECT_EQ(ML::RegisterPauseCallback(nullptr), GUID{});
  EXPECT_EQ(ML::PauseCallbackCount(), before + 2);

  ML::SetPaused(true);
  ML::SetPaused(false);
  ML::SetPaused(true);
  ML::UnregisterPauseCallback(a);
  ML::SetPaused(false);
  EXPECT_EQ(calls, (std::vector<std::pair<int, bool>>{{1, true}, {2, true}, {1, false}, {2, false}, {1, true}}));
  EXPECT_EQ(ML::PauseCallbackCount(), before);
}

}  // namespace
}  // namespace qrs
