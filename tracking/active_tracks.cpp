#include "tracking/active_tracks.h"
#include "platform/runtime/never_destroyed.h"

#include <mutex>
#include <set>

namespace mask {
namespace {

struct ActiveTracks {
  std::mutex mutex;
  std::set<FxEffectRef> running;
};

ActiveTracks& Active() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<ActiveTracks> active;
  return active.get();
}

}  // namespace

bool BeginActiveTrack(FxEffectRef effect_ref) {
  ActiveTracks& a = Active();
  std::lock_guard lock(a.mutex);
  return a.running.insert(effect_ref).second;
}

void EndActiveTrack(FxEffectRef effect_ref) {
  ActiveTracks& a = Active();
  std::lock_guard lock(a.mutex);
  a.running.erase(effect_ref);
}

}  // namespace mask
