// Ctrl-C (and SIGTERM, SIGHUP) during long work. The first asks the work to stop at the next
// frame; a second removes every temporary file of ours and ends the process at once, with the
// status a shell gives a process the signal ended (128 + the signal's number).
#pragma once

#include <atomic>
#include <pthread.h>
#include <signal.h>
#include <thread>

namespace maskfx {

class InterruptWatch {
 public:
  // Blocks the signals in this thread before it starts any other, so every worker, the
  // module's included, inherits the block and only the watcher takes them.
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  const std::atomic<bool>* stop() const { return &stop_; }

 private:
  void Watch();

  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  sigset_t signals_{}, old_mask_{};
  std::thread watcher_;
};

}  // namespace maskfx
