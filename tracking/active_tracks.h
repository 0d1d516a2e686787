// Which effect instances have a press still running: a second press on the same instance must
// not start a job that would race the first one's keyframes.
#pragma once

#include "platform/sdk/effect_interface.h"

namespace mask {

// False when the instance already has a press running; otherwise marks it.
bool BeginActiveTrack(FxEffectRef effect_ref);
// Marks the instance free again; calling it twice is harmless.
void EndActiveTrack(FxEffectRef effect_ref);

}  // namespace mask
