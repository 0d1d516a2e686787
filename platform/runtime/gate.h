// A one-shot signal between threads: closed when made, opened once, and open for good. A waiter
// may destroy the gate as soon as its PassThrough has returned true.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qrs {

class Gate {
 public:
  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Opens the gate and releases every waiter; later calls do nothing.
  void Open();
  // Waits until the gate is open, at most `timeout_ms` milliseconds (negative: no limit).
  // Returns whether it is open.
  bool PassThrough(int64_t timeout_ms = -1);
  bool IsOpen() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

}  // namespace qrs
