// The symbols Mask.so exports; everything else in the module is hidden.
#include "effect/entry.h"

#define MASK_EXPORT extern "C" __attribute__((visibility("default")))

MASK_EXPORT FxErr EffectMain(int32_t command, FxInData* in_data, FxOutData* out_data,
                             FxParamDef* params[], FxWorld* output, void* extra) {
  return mask_effect::RunEffectCommand(mask_effect::ModuleHandlers(), command, in_data, out_data,
                                       params, output, extra);
}
