// Where each of the effect's parameters sits in the parameter array (index = identifier).
#pragma once

#include <cstdint>

namespace mask_effect {

enum ParamIndex : int32_t {
  kParamInputLayer = 0,
  kParamTrackGroupStart = 1,
  kParamTrackBackward = 2,  // "<<"
  kParamTrackForward = 3,   // ">>"
  kParamFlushFrameCache = 4,
  kParamTrackGroupEnd = 5,
  kParamMaskPath = 6,
  kParamMaskFeather = 7,
  kParamMaskOpacity = 8,
  kParamMaskExpansion = 9,
  kParamInverted = 10,
  kParamMotionLevel = 11,   // hidden
  kParamOverlayIndex = 12,  // hidden
  kParamOverlayScale = 13,  // hidden
  // Appended after the documented parameters, so that stored projects keep their indices.
  kParamMaskMode = 14,
  kParamCount = 15,
};

// Marks the effect's own arbitrary-data values ("kcin").
inline constexpr uintptr_t kMaskPathRefcon = 0x6e69636b;

}  // namespace mask_effect
