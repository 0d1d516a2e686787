#include "platform/runtime/executors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
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
  a->Post([&] {
    a_in.Open();
    b_in.PassThrough(kHangGuardMs);
  });
  b->Post([&] {
    b_in.Open();
    a_in.PassThrough(kHangGuardMs);
  });
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

// Runs ParallelFor and checks that the parts it handed out cover [0, count) once, in contiguous
// parts of at least `grain` indices where count allows.
void ExpectEveryIndexOnce(Executor& executor, int64_t count, int64_t grain) {
  std::vector<std::atomic<int>> runs(size_t(std::max<int64_t>(count, 0)));
  std::atomic<int> short_parts{0}, bad_parts{0};
  executor.ParallelFor(count, grain, [&](int64_t begin, int64_t end) {
    if (begin < 0 || end > count || begin >= end) ++bad_parts;
    if (end - begin < grain && !(begin == 0 && end == count)) ++short_parts;
    for (int64_t i = begin; i < end && i >= 0 && i < count; ++i) ++runs[size_t(i)];
  });
  EXPECT_EQ(bad_parts.load(), 0) << count << " by " << grain;
  EXPECT_EQ(short_parts.load(), 0) << count << " by " << grain;
  for (int64_t i = 0; i < count; ++i) ASSERT_EQ(runs[size_t(i)].load(), 1) << i << " of " << count << " by " << grain;
}

TEST(ParallelFor, RunsEveryIndexExactlyOnceInContiguousParts) {
  Executor executor(4);
  for (int64_t count : {0, 1, 2, 3, 7, 16, 17, 1000, 100'003})
    for (int64_t grain : {1, 3, 64, 200'000}) ExpectEveryIndexOnce(executor, count, grain);
  ExpectEveryIndexOnce(*GetCPUBoundExecutor(), 12'345, 1);
  ExpectEveryIndexOnce(executor, 50, 0);  // no grain is taken as 1
}

TEST(ParallelFor, SharesTheWorkWithThePoolsThreads) {
  Executor executor(3);
  // Parts that wait until three threads are inside at once: only true if the pool took part.
  std::atomic<int> inside{0};
  std::mutex mutex;
  std::vector<std::thread::id> ids;
  executor.ParallelFor(3, 1, [&](int64_t, int64_t) {
    ++inside;
    for (int i = 0; i < 30'000 && inside.load() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard lock(mutex);
    ids.push_back(std::this_thread::get_id());
  });
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()) - ids.begin(), 3);
}

TEST(ParallelFor, FinishesWhenThePoolCannotHelp) {
  // Paused, closed, or every thread blocked in a task: the caller runs every part itself.
  Executor paused(2);
  paused.Pause();
  ExpectEveryIndexOnce(paused, 1000, 1);
  Executor closed(2);
  closed.Close();
  ExpectEveryIndexOnce(closed, 1000, 1);

  Executor busy(2);
  Gate release;
  std::atomic<int> blocked{0};
  for (int i = 0; i < 2; ++i)
    busy.Post([&] {
      ++blocked;
      release.PassThrough(kHangGuardMs);
    });
  while (blocked.load() < 2) std::this_thread::yield();
  ExpectEveryIndexOnce(busy, 1000, 1);
  release.Open();
}

TEST(ParallelFor, NestedCallsFromInsideAPartDoNotDeadlock) {
  // Every pool thread inside an outer part that waits on an inner call of its own: the inner
  // parts still run, on whichever threads are free and on the waiting ones.
  Executor executor(2);
  std::atomic<int64_t> sum{0};
  Gate done;
  executor.Post([&] {
    executor.ParallelFor(8, 1, [&](int64_t begin, int64_t end) {
      for (int64_t outer = begin; outer < end; ++outer)
        executor.ParallelFor(100, 1, [&](int64_t b, int64_t e) {
          for (int64_t i = b; i < e; ++i) sum += i;
        });
    });
    done.Open();
  });
  ASSERT_TRUE(done.PassThrough(kHangGuardMs));
  EXPECT_EQ(sum.load(), 8 * (99 * 100 / 2));
}

TEST(ParallelFor, ManyCallersAtOnceEachGetTheirOwnWork) {
  Executor executor(3);
  constexpr int kCallers = 8, kCalls = 40;
  std::vector<int64_t> sums(kCallers, 0);
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c)
    callers.emplace_back([&, c] {
      for (int call = 0; call < kCalls; ++call) {
        std::atomic<int64_t> sum{0};
        const int64_t count = 500 + c * 37 + call;
        executor.ParallelFor(count, 7, [&](int64_t begin, int64_t end) {
          int64_t local = 0;
          for (int64_t i = begin; i < end; ++i) local += i;
          sum += local;
        });
        sums[size_t(c)] += sum.load() - count * (count - 1) / 2;  // 0 when every index ran once
      }
    });
  for (std::thread& t : callers) t.join();
  for (int c = 0; c < kCallers; ++c) EXPECT_EQ(sums[size_t(c)], 0) << "caller " << c;
}

TEST(ParallelFor, AThrowingPartIsRethrownAfterTheOthersReturn) {
  Executor executor(2);
  std::atomic<int64_t> ran{0};
  // Eight parts of one index each: the one at 5 throws.
  EXPECT_THROW(executor.ParallelFor(8, 1,
                                    [&](int64_t begin, int64_t end) {
                                      if (begin == 5) throw std::runtime_error("part failed");
                                      ran += end - begin;
                                    }),
               std::runtime_error);
  EXPECT_EQ(ran.load(), 7);                // every other part ran
  ExpectEveryIndexOnce(executor, 100, 1);  // the pool works on afterwards
}

}  // namespace
}  // namespace qrs
