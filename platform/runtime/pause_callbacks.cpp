#include "platform/runtime/pause_callbacks.h"
#include "platform/runtime/never_destroyed.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace ML {
namespace {

struct Registry {
  // Recursive: held while callbacks run, so that Unregister from another thread waits for a
  // running callback, while a callback may still (un)register on its own thread.
  std::recursive_mutex mutex;
  std::vector<std::pair<qrs::GUID, PauseCallback>> callbacks;

  bool Contains(const qrs::GUID& id) const {
    return std::any_of(callbacks.begin(), callbacks.end(), [&](const auto& e) { return e.first == id; });
  }
};

Registry& TheRegistry() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<Registry> registry;
  return registry.get();
}

}  // namespace

qrs::GUID RegisterPauseCallback(PauseCallback callback) {
  if (!callback) return {};
  const qrs::GUID id = qrs::Guid::NewGUID();
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.callbacks.emplace_back(id, std::move(callback));
  return id;
}

void UnregisterPauseCallback(const qrs::GUID& id) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.callbacks, [&](const auto& e) { return e.first == id; });
}

void SetPaused(bool paused) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  // A snapshot, because a callback may change the registry; one unregistered meanwhile is skipped.
  const auto snapshot = r.callbacks;
  for (const auto& [id, callback] : snapshot) {
    if (r.Contains(id)) callback(paused);
  }
}

int PauseCallbackCount() {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return static_cast<int>(r.callbacks.size());
}

}  // namespace ML
