// What the host knows about one effect instance: the state its suites record. Suites find it
// through the effect reference, which is the instance's address.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/sdk/effect_interface.h"

namespace host {

struct EffectInstance {
  std::vector<uint32_t> pixel_formats;                            // in the order added
  std::vector<std::pair<int32_t, uint32_t>> background_formats;  // (kind, format)
  std::vector<std::pair<int32_t, int32_t>> group_states;          // (param index, state)
};

inline FxEffectRef RefOf(EffectInstance* instance) { return reinterpret_cast<FxEffectRef>(instance); }
inline EffectInstance* InstanceOf(FxEffectRef ref) { return reinterpret_cast<EffectInstance*>(ref); }

}  // namespace host
