// The event command: draw requests now; mouse and key editing arrive with the editing code.
#pragma once

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"
#include "platform/sdk/world.h"

namespace mask_overlay {

FxErr HandleMaskEvent(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld* output, void* extra);

}  // namespace mask_overlay
