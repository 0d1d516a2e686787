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

  // Calls body(begin, end) on contiguous parts that together cover [0, count) once, each of at
  // least `grain` indices (one part when count is less), at most four parts a thread, and
  // returns when every part has returned. The parts run on this executor's threads and on the
  // calling thread, which takes whatever parts nobody has started: so a call from one of this
  // executor's own tasks, or while it is busy, paused or closed, still finishes (on fewer
  // threads). Nothing is allocated per index. A part that throws does not stop the others; the
  // first exception is rethrown here once all have returned. `body` is called on several threads
  // at once.
  template <typename Body>
  void ParallelFor(int64_t count, int64_t grain, const Body& body) {
    RunParts(count, grain, &CallBody<Body>, static_cast<const void*>(std::addressof(body)));
  }

 private:
  template <typename Body>
  static void CallBody(const void* body, int64_t begin, int64_t end) {
    (*static_cast<const Body*>(body))(begin, end);
  }
  void RunParts(int64_t count, int64_t grain, void (*call)(const void*, int64_t, int64_t), const void* body);

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
