// The host's thread pools. Work posted to an executor runs on its own threads in posting order
// (with one thread, strictly one after another). An executor can be paused: tasks already
// running finish, queued ones wait until it is resumed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace qrs {

class Executor {
 public:
  // thread_count < 1 is taken as 1.
  explicit Executor(int thread_count);
  // Queued work that has not started is dropped; waits for running tasks to return. Safe to run
  // on one of the executor's own threads (that thread then ends once its task returns).
  ~Executor();
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Runs `task` on one of the threads. Ignored after Close. A task that throws is abandoned; the
  // thread goes on with the next one.
  void Post(std::function<void()> task);

  void Pause();
  void Resume();
  bool IsPaused() const;

  // Drops queued work and refuses new work; running tasks are not interrupted.
  void Close();

  int ThreadCount() const { return thread_count_; }

  // A separate executor that never runs more than `thread_count` tasks at once, clamped to
  // [1, ThreadCount()] so it cannot ask for more parallelism than this one offers.
  std::shared_ptr<Executor> CreateSubExecutor(int thread_count) const;

 private:
  friend std::shared_ptr<Executor> BorrowTemporarySingleThreadedExecutor();
  Executor(int thread_count, bool temporary);
  struct State;
  std::shared_ptr<State> state_;
  int thread_count_;
};

// The process-wide executor for CPU-bound work, one thread per hardware thread.
std::shared_ptr<Executor> GetCPUBoundExecutor();

// A fresh single-threaded executor for one job's lifetime; hand it back when done.
std::shared_ptr<Executor> BorrowTemporarySingleThreadedExecutor();
// Closes the executor (queued work that has not started is dropped) and releases the caller's
// reference; may be called from a task running on that executor.
void ReturnTemporarySingleThreadedExecutor(std::shared_ptr<Executor> executor);
// Executors borrowed and not yet returned (lets a host check that every job gave its one back).
int BorrowedExecutorCount();
// Waits until every thread of every borrowed executor has ended, at most `timeout_ms`
// milliseconds (negative: no limit); true when none is left. A host calls this before unloading
// a module whose jobs ran on such threads.
bool WaitForTemporaryExecutorThreads(int64_t timeout_ms);

}  // namespace qrs
