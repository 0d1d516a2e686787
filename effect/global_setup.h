// What the module does once per load and unload: the string table, the global data block, the
// pixel formats it renders, and the start-up of the graphics components.
#pragma once

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace mask_effect {

inline constexpr const char* kInitFailedText = "Mask could not be initialized.";

enum ModuleString : int32_t {
  kStrAbout = 0,
  kStrMaskPath = 1,
  kStrMaskFeather = 2,
  kStrMaskOpacity = 3,
  kStrMaskExpansion = 4,
  kStrInverted = 5,
  kStrMaskMode = 6,
};

// The global data block lives in a host handle of exactly these 8 bytes.
struct GlobalData {
  void* string_table;
};
static_assert(sizeof(GlobalData) == 8);

// The six formats, in the order the host is told about them.
inline constexpr uint32_t kRenderPixelFormats[6] = {FxPixelFormat_vuya, FxPixelFormat_VUYA, FxPixelFormat_bgra,
                                                    FxPixelFormat_VUya, FxPixelFormat_vUYa, FxPixelFormat_BGra};
inline constexpr uint32_t kBackgroundPixelFormats[6] = {FxPixelFormat_bgra, FxPixelFormat_vuya, FxPixelFormat_VUYA,
                                                        FxPixelFormat_VUya, FxPixelFormat_vUYa, FxPixelFormat_BGra};
inline constexpr int32_t kOutFlags = FxOutFlag_SequenceDataNeedsFlattening | FxOutFlag_UseOutputExtent |
                                     FxOutFlag_CustomUI | FxOutFlag_Obsolete | FxOutFlag_SendUpdateParamsUI;
inline constexpr int32_t kOutFlags2 = FxOutFlag2_CanCombineWithDestination;
inline constexpr uint32_t kEffectVersion = FxVersion(1, 0, 0, 0, 0);

// The descriptor handed to the host's string table service (exposed for tests).
const FxStringTableDescriptor& StringTableDescriptor();

FxErr GlobalSetup(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld* output);
FxErr GlobalSetdown(FxInData* in_data, FxOutData* out_data);

// The localised text of a module string, or "" when the table or the text is unavailable.
const char* ModuleText(const FxInData* in_data, ModuleString index);

}  // namespace mask_effect
