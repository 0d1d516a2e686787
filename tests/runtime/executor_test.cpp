#include "platform/runtime/executors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/runtime/gate.h"

namespace qrs {
namespace {

constexpr int64_t kHangGuardMs = 30'000;

TEST(Executor, SingleThreadRunsTasksInPostingOrderOnOneThread) {
  auto executor = BorrowTemporarySingleThreadedExecutor();
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  Gate done;
  for (int i = 0; i < 200; ++i) {
    // No lock: a single-threaded executor runs tasks one after another.
    executor->Post([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
      if (i == 199) done.Open();
    });
  }
  ASSERT_TRUE(done.PassThrough(kHangGuardMs));
  ReturnTemporarySingleThreadedExecutor(std::move(executor));
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(std::all_of(threads.begin(), threads.end(), [&](auto id) { return id == threads[0]; }));
  EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST(Executor, PauseHoldsQueuedWorkUntilResume) {
  Executor executor(1);
  Gate running, release, second_ran;
  executor.Post([&] {
    running.Open();
    release.PassThrough(kHangGuardMs);
  });
  ASSERT_TRUE(running.PassThrough(kHangGuardMs));
  executor.Pause();  // the running task is not interrupted
  executor.Post([&] { second_ran.Open(); });
  release.Open();
  // A short look for a wrong start; a correct executor passes however slow the machine is.
  EXPECT_FALSE(second_ran.PassThrough(50));
  EXPECT_TRUE(executor.IsPaused());
  executor.Resume();
  EXPECT_TRUE(second_ran.PassThrough(kHangGuardMs));
}

TEST(Executor, DestroyingWhilePausedDropsQueuedWorkWithoutHanging) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  {
    Executor executor(2);
    executor.Pause();
    for (int i = 0; i < 10; ++i) executor.Post([ran] { ran->store(true); });
  }
  EXPECT_FALSE(ran->load());
}

TEST(Executor, SubExecutorNeverExceedsItsThreadCount) {
  // Declared before the executors, which join their threads first on the way out.
  std::mutex mutex;
  int active = 0, most = 0, finished = 0;
  Gate pair_met, all_done;
  std::atomic<int> arrived{0};

  Executor parent(4);
  auto sub = parent.CreateSubExecutor(2);
  EXPECT_EQ(sub->ThreadCount(), 2);
  EXPECT_EQ(parent.CreateSubExecutor(100)->ThreadCount(), 4);
  EXPECT_EQ(parent.CreateSubExecutor(0)->ThreadCount(), 1);
  constexpr int kTasks = 40;
  for (int i = 0; i < kTasks; ++i) {
    sub->Post([&] {
      {
        std::lock_guard lock(mutex);
        most = std::max(most, ++active);
      }
      // The first two tasks wait for each other: that only ends if two run at once.
      if (arrived.fetch_add(1) < 2) {
        if (arrived.load() >= 2) pair_met.Open();
        pair_met.PassThrough(kHangGuardMs);
      }
      std::this_thread::yield();
      std::lock_guard lock(mutex);
      --active;
      if (++finished == kTasks) all_done.Open();
    });
  }
  ASSERT_TRUE(all_done.PassThrough(kHangGuardMs));
  EXPECT_TRUE(pair_met.IsOpen());
  EXPECT_EQ(most, 2);
}

TEST(Executor, BorrowedExecutorsAreSeparateAndCanBeReturnedFromTheirOwnThread) {
  const int before = BorrowedExecutorCount();
  auto a = BorrowTemporarySingleThreadedExecutor();
  auto b = BorrowTemporarySingleThreadedExecutor();
  EXPECT_NE(a, b);
  EXPECT_EQ(a->ThreadCount(), 1);
  EXPECT_EQ(BorrowedExecutorCount(), before + 2);

  // Both threads are up at once: each task waits for the other's.
  Gate a_in, b_in;
  a->Post([&] { a_in.Open(); b_in.PassThrough(kHangGuardMs); });
  b->Post([&] { b_in.Open(); a_in.PassThrough(kHangGuardMs); });
  EXPECT_TRUE(a_in.PassThrough(kHangGuardMs));
  EXPECT_TRUE(b_in.PassThrough(kHangGuardMs));
  ReturnTemporarySingleThreadedExecutor(std::move(b));

  // A job holds its executor and returns it when its last reference drops, on that thread.
  Gate returned;
  a->Post([&returned, held = a]() mutable {
    ReturnTemporarySingleThreadedExecutor(std::move(held));
    returned.Open();
  });
  a.reset();
  EXPECT_TRUE(returned.PassThrough(kHangGuardMs));
  EXPECT_EQ(BorrowedExecutorCount(), before);
}

TEST(Executor, AThrowingTaskDoesNotStopTheThread) {
  Executor executor(1);
  Gate after_throw;
  executor.Post([] { throw 1; });
  executor.Post([&] { after_throw.Open(); });
  EXPECT_TRUE(after_throw.PassThrough(kHangGuardMs));
}

TEST(Executor, WorkPostedAfterCloseNeverRuns) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  {
    Executor executor(1);
    executor.Close();
    executor.Post([ran] { ran->store(true); });
  }  // joined here: anything accepted would have run by now
  EXPECT_FALSE(ran->load());
}

TEST(Executor, CpuBoundExecutorIsSharedAndUsesEveryHardwareThread) {
  auto cpu = GetCPUBoundExecutor();
  EXPECT_EQ(cpu, GetCPUBoundExecutor());
  EXPECT_EQ(cpu->ThreadCount(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  Gate ran;
  cpu->Post([&] { ran.Open(); });
  EXPECT_TRUE(ran.PassThrough(kHangGuardMs));
}

}  // namespace
}  // namespace qrs
