// The symbols Mask.so exports; everything else in the module is hidden.
#include "effect/entry.h"
#include "render/mask_gpu_filter.h"

#define MASK_EXPORT extern "C" __attribute__((visibility("default")))

MASK_EXPORT FxErr EffectMain(int32_t command, FxInData* in_data, FxOutData* out_data, FxParamDef* params[],
                             FxWorld* output, void* extra) {
  return mask_effect::RunEffectCommand(mask_effect::ModuleHandlers(), command, in_data, out_data, params, output,
                                       extra);
}

MASK_EXPORT FxGPUResult xGPUFilterEntry(uint64_t host_interface, int32_t* version, int32_t index, int32_t reserved,
                                        FxGPUFilterEntryTable* table, FxGPUFilterInfo* info) {
  return mask_render::GPUFilterEntry(host_interface, version, index, reserved, table, info);
}
