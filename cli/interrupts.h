// Ctrl-C (and SIGTERM, SIGHUP) during long work. The first asks the work to stop at the next
// frame; a second removes every temporary file of ours and ends the process at once, with the
// status a shell gives a process the signal ended (128 + the signal's number).
#pragma once

#include <pthread.h>
#include <signal.h>
#include <atomic>
#include <thread>

namespace maskfx {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every thread it starts
// afterwards; returns the set. `previous` (may be null) receives the mask before.
sigset_t BlockEndingSignals(sigset_t* previous = nullptr);

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
  sigset_t old_mask_{};  // before signals_: its initialiser fills this
  sigset_t signals_{};
  std::thread watcher_;
};

}  // namespace maskfx
