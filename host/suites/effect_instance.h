// What the host knows about one effect instance: its parameters and the state its suites
// record. Suites and callbacks find it through the effect reference, which is its address.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/suites/param_store.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace host {

// What one tracking press did, as the effect reported it.
struct PressReport {
  int64_t frame = 0;                             // the frame it keyed
  int32_t level_requested = 0, level_used = -1;  // 0 translation .. 4 perspective; -1 none fitted
  int32_t features_selected = 0, features_followed = 0, features_fitted = 0;
  int32_t reference = 0;  // 0 none, 1 started on the press's frame, 2 taken, 3 declined
  int32_t reference_found = 0;
  int64_t reference_frame = -1;
  double reference_correction = 0;  // pixels
  std::string fallback, reference_note;
};

struct EffectInstance {
  std::vector<uint32_t> pixel_formats;                           // in the order added
  std::vector<std::pair<int32_t, uint32_t>> background_formats;  // (kind, format)
  std::vector<std::pair<int32_t, int32_t>> group_states;         // (param index, state)
  ParamStore params;
  FxCustomUIInfo ui{};
  bool ui_registered = false;
  int add_param_calls = 0;
  // During an event: its frame, and the mask value the effect's masking requests edit.
  int64_t event_frame = 0;
  std::vector<uint8_t> event_mask;
  int redraw_requests = 0;
  int refuse_add_param_call = 0;  // 1-based call to refuse (0: none), for failure paths
  // Guards `params` between command threads and analysis threads (the tracking suite).
  std::mutex params_mutex;
  // Presses answered through the tracking suite: keyframe pairs stored, and presses that said
  // they produced none. Under params_mutex.
  int keyframe_pairs = 0;
  int presses_without_keyframes = 0;
  std::optional<PressReport> last_press;  // the last press's report, where the effect gives one
};

inline FxEffectRef RefOf(EffectInstance* instance) { return reinterpret_cast<FxEffectRef>(instance); }
inline EffectInstance* InstanceOf(FxEffectRef ref) { return reinterpret_cast<EffectInstance*>(ref); }

}  // namespace host
