#include "platform/runtime/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qrs {
namespace {

constexpr int64_t kHangGuardMs = 30'000;

TEST(Gate, OpenedBeforeTheWaitPassesAtOnceAndStaysOpen) {
  Gate gate;
  EXPECT_FALSE(gate.IsOpen());
  gate.Open();
  gate.Open();  // a second open changes nothing
  EXPECT_TRUE(gate.IsOpen());
  EXPECT_TRUE(gate.PassThrough(0));
  EXPECT_TRUE(gate.PassThrough(-1));
  EXPECT_TRUE(gate.PassThrough(kHangGuardMs));
}

TEST(Gate, ClosedGateTimesOutWithFalse) {
  Gate gate;
  EXPECT_FALSE(gate.PassThrough(0));
  EXPECT_FALSE(gate.PassThrough(20));
  EXPECT_FALSE(gate.IsOpen());
}

TEST(Gate, OpeningReleasesWaitersThatAreAlreadyWaiting) {
  Gate gate;
  constexpr int kWaiters = 16;
  std::atomic<int> started{0}, passed{0}, unlimited_passed{0};
  Gate all_started;
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      if (started.fetch_add(1) + 1 == kWaiters) all_started.Open();
      // Half wait without limit, as a frame fetch does.
      const bool opened = i % 2 == 0 ? gate.PassThrough(-1) : gate.PassThrough(kHangGuardMs);
      if (opened) passed.fetch_add(1);
      if (i % 2 == 0) unlimited_passed.fetch_add(1);
    });
  }
  ASSERT_TRUE(all_started.PassThrough(kHangGuardMs));
  EXPECT_EQ(passed.load(), 0);
  gate.Open();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(passed.load(), kWaiters);
  EXPECT_EQ(unlimited_passed.load(), kWaiters / 2);
}

}  // namespace
}  // namespace qrs
