// The host's pixel format, background frame and parameter group suites. Slots are in table
// order; a slot this module never calls is declared as an untyped reserved entry.
#pragma once

#include <cstdint>

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/world.h"

extern "C" {

using FxReservedSlot = void (*)();

inline constexpr const char* kFxPixelFormatSuiteName = "PF Pixel Format Suite";
inline constexpr int32_t kFxPixelFormatSuiteVersion = 1;
struct FxPixelFormatSuite {
  FxErr (*AddSupportedPixelFormat)(FxEffectRef effect_ref, uint32_t pixel_format);
  FxErr (*ClearSupportedPixelFormats)(FxEffectRef effect_ref);
  FxReservedSlot reserved3;
  FxReservedSlot reserved4;
  // Writes the world's four-character code; leaves *pixel_format alone when it cannot tell.
  FxErr (*GetPixelFormat)(const FxWorld* world, uint32_t* pixel_format);
};

inline constexpr const char* kFxBackgroundFrameSuiteName = "PF Background Frame Suite";
inline constexpr int32_t kFxBackgroundFrameSuiteVersion = 1;
struct FxBackgroundFrameSuite {
  // kind: how the host may hand background frames in this format (2: as the effect asks).
  FxErr (*AddSupportedBackgroundTransferMode)(FxEffectRef effect_ref, int32_t kind, uint32_t pixel_format);
};

inline constexpr const char* kFxGroupParamSuiteName = "PF Group Param Suite";
inline constexpr int32_t kFxGroupParamSuiteVersion = 1;
struct FxGroupParamSuite {
  // Marks the group that starts at param_index (-1: the one just added) with the given state.
  FxErr (*SetGroupState)(FxEffectRef effect_ref, int32_t param_index, int32_t state);
};

}  // extern "C"
