#include "platform/runtime/gate.h"

#include <chrono>

namespace qrs {

void Gate::Open() {
  // Notified under the lock: a waiter may destroy the gate as soon as it passes, and it cannot
  // pass before this call has let go of the gate.
  std::lock_guard lock(mutex_);
  open_ = true;
  opened_.notify_all();
}

bool Gate::PassThrough(int64_t timeout_ms) {
  std::unique_lock lock(mutex_);
  if (timeout_ms < 0) {
    opened_.wait(lock, [this] { return open_; });
    return true;
  }
  return opened_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return open_; });
}

bool Gate::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

}  // namespace qrs
