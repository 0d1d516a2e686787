#include "platform/runtime/executors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace qrs {
namespace {

// Threads of borrowed executors that have not ended yet. A thread leaves this count only after
// its last task, and everything that task held, is gone, so a host that waits for zero may
// unload the code those tasks ran.
struct TemporaryThreads {
  std::mutex mutex;
  std::condition_variable ended;
  int live = 0;
};
TemporaryThreads& Temporaries() {
  static TemporaryThreads* temporaries = new TemporaryThreads;  // outlives every worker
  return *temporaries;
}

void TemporaryThreadEnded() {
  TemporaryThreads& t = Temporaries();
  std::lock_guard lock(t.mutex);
  --t.live;
  t.ended.notify_all();
}

}  // namespace

// Shared with the worker threads so that a worker outliving a self-destroying executor still
// touches valid state.
struct Executor::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> queue;
  bool paused = false;
  bool closed = false;
  std::vector<std::thread> threads;
  bool temporary = false;

  static void Work(const std::shared_ptr<State>& self) {
    RunTasks(self);
    if (self->temporary) TemporaryThreadEnded();
  }

  static void RunTasks(const std::shared_ptr<State>& self) {
    std::unique_lock lock(self->mutex);
    for (;;) {
      self->wake.wait(lock, [&] { return self->closed || (!self->paused && !self->queue.empty()); });
      if (self->closed) return;
      std::function<void()> task = std::move(self->queue.front());
      self->queue.pop_front();
      lock.unlock();
      try {
        task();
      } catch (...) {
        // The pool has nobody to report to; the task owns its error handling.
      }
      task = nullptr;  // captured state is released outside the lock
      lock.lock();
    }
  }
};

Executor::Executor(int thread_count) : Executor(thread_count, false) {}

Executor::Executor(int thread_count, bool temporary)
    : state_(std::make_shared<State>()), thread_count_(std::max(1, thread_count)) {
  std::lock_guard lock(state_->mutex);
  state_->temporary = temporary;
  for (int i = 0; i < thread_count_; ++i) {
    state_->threads.emplace_back([s = state_] { State::Work(s); });
  }
}

Executor::~Executor() {
  std::vector<std::thread> threads;
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    dropped.swap(state_->queue);
    threads.swap(state_->threads);
  }
  state_->wake.notify_all();
  dropped.clear();  // destroyed outside the lock: a task's captures may post or destroy again
  for (std::thread& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // our own worker: it holds the state and ends when this task returns
    } else {
      t.join();
    }
  }
}

void Executor::Post(std::function<void()> task) {
  if (!task) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->closed) return;
    state_->queue.push_back(std::move(task));
  }
  state_->wake.notify_one();
}

void Executor::Pause() {
  std::lock_guard lock(state_->mutex);
  state_->paused = true;
}

void Executor::Resume() {
  {
    std::lock_guard lock(state_->mutex);
    state_->paused = false;
  }
  state_->wake.notify_all();
}

bool Executor::IsPaused() const {
  std::lock_guard lock(state_->mutex);
  return state_->paused;
}

void Executor::Close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    dropped.swap(state_->queue);
  }
  state_->wake.notify_all();
}

std::shared_ptr<Executor> Executor::CreateSubExecutor(int thread_count) const {
  return std::make_shared<Executor>(std::clamp(thread_count, 1, thread_count_));
}

namespace {

// One ParallelFor call, shared by the caller and the helpers it posted. Helpers that start after
// every part has been taken find nothing to do; being shared keeps this alive for them.
struct Parts {
  void (*call)(const void*, int64_t, int64_t);
  const void* body;  // valid while parts are left: the caller waits for all of them
  int64_t count, parts;
  std::atomic<int64_t> next{0};  // the first part nobody has taken
  std::atomic<int64_t> left;     // parts not yet returned
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;

  Parts(void (*c)(const void*, int64_t, int64_t), const void* b, int64_t n, int64_t p)
      : call(c), body(b), count(n), parts(p), left(p) {}

  // Part p's range: the count shared out evenly, the first count % parts parts one longer.
  int64_t Begin(int64_t p) const { return count / parts * p + std::min(p, count % parts); }

  // Takes and runs parts until none is left untaken.
  void Work() {
    for (int64_t p = next.fetch_add(1); p < parts; p = next.fetch_add(1)) {
      try {
        call(body, Begin(p), Begin(p + 1));
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!error) error = std::current_exception();
      }
      if (left.fetch_sub(1) == 1) {
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_all();
      }
    }
  }
};

}  // namespace

void Executor::RunParts(int64_t count, int64_t grain, void (*call)(const void*, int64_t, int64_t), const void* body) {
  if (count <= 0) return;
  grain = std::max<int64_t>(1, grain);
  // Four parts a thread lets threads that finish early, or join late, take up the slack.
  const int64_t parts = std::min(count / grain, int64_t(4) * thread_count_);
  if (parts <= 1) {
    call(body, 0, count);
    return;
  }
  const auto shared = std::make_shared<Parts>(call, body, count, parts);
  const int64_t helpers = std::min<int64_t>(parts - 1, thread_count_);
  for (int64_t i = 0; i < helpers; ++i) Post([shared] { shared->Work(); });
  shared->Work();
  std::unique_lock lock(shared->mutex);
  shared->finished.wait(lock, [&] { return shared->done; });
  if (shared->error) std::rethrow_exception(shared->error);
}

std::shared_ptr<Executor> GetCPUBoundExecutor() {
  static const std::shared_ptr<Executor> executor =
      std::make_shared<Executor>(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  return executor;
}

namespace {
std::atomic<int> borrowed_count{0};
}  // namespace

std::shared_ptr<Executor> BorrowTemporarySingleThreadedExecutor() {
  {
    TemporaryThreads& t = Temporaries();
    std::lock_guard lock(t.mutex);
    ++t.live;
  }
  std::shared_ptr<Executor> executor(new Executor(1, true));
  borrowed_count.fetch_add(1);
  return executor;
}

void ReturnTemporarySingleThreadedExecutor(std::shared_ptr<Executor> executor) {
  if (!executor) return;
  executor->Close();
  borrowed_count.fetch_sub(1);
}

int BorrowedExecutorCount() { return borrowed_count.load(); }

bool WaitForTemporaryExecutorThreads(int64_t timeout_ms) {
  TemporaryThreads& t = Temporaries();
  std::unique_lock lock(t.mutex);
  const auto done = [&] { return t.live == 0; };
  if (timeout_ms < 0) {
    t.ended.wait(lock, done);
    return true;
  }
  return t.ended.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

}  // namespace qrs
