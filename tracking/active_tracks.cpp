#include "tracking/active_tracks.h"

#include <mutex>
#include <set>

namespace mask {
namespace {

struct ActiveTracks {
  std::mutex mutex;
  std::set<FxEffectRef> running;
};

ActiveTracks& Active() {
  // Allocated once and never destroyed: hosts may close instances from exit handlers, after the
  // process has begun destroying its statics.
  static ActiveTracks& active = *new ActiveTracks;
  return active;
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
