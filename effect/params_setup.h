// The effect's parameters declared at parameter setup (their values are read and written
// through instance/param_values).
#pragma once

#include <cstdint>

#include "instance/param_values.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace mask_effect {

// The state the parameter group suite is told for the tracking group.
inline constexpr int32_t kTrackGroupState = 14;

FxErr ParamsSetup(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld* output);

// Copies a name into a 32-byte name field: at most 31 bytes, cut at a character boundary.
void CopyParamName(char (&field)[kFxParamNameSize], const char* text);

}  // namespace mask_effect
