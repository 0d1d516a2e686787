// The effect module linked into the fuzz program instead of loaded from Mask.so, so that the
// fuzzer sees (and steers by) the module's own code. The host drives it exactly as it drives
// the loaded module.
#pragma once

#include <cstdlib>
#include <string>

#include "effect/entry.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"

inline FxErr LinkedEffectMain(int32_t command, FxInData* in_data, FxOutData* out_data, FxParamDef* params[],
                              FxWorld* output, void* extra) {
  return mask_effect::RunEffectCommand(mask_effect::ModuleHandlers(), command, in_data, out_data, params, output,
                                       extra);
}

inline host::LoadedModule LinkedModule() {
  host::LoadedModule module;
  module.path = "linked module";
  module.effect_main = &LinkedEffectMain;
  return module;
}

// One instance of the linked module, set up as an editor sets it up, for the whole process.
inline host::EffectHost& LinkedEffectHost() {
  static host::EffectHost* effect = [] {
    auto* e = new host::EffectHost(LinkedModule());
    std::string message, error;
    if (!host::SetUpEffect(*e, message, error)) std::abort();
    return e;
  }();
  return *effect;
}
