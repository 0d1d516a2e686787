// The effect's parameter values: their ranges, and how each is read from and written to the
// parameter array of a command.
#pragma once

#include <cstdint>

#include "instance/param_ids.h"
#include "platform/graphics/alpha_blend.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace mask_effect {

// Matte parameter ranges (valid range; the slider shows the narrower one).
inline constexpr float kFeatherMax = 1000, kFeatherSliderMax = 300, kFeatherDefault = 10;
inline constexpr float kOpacityMax = 100, kOpacityDefault = 100;
inline constexpr float kExpansionMax = 1000, kExpansionSliderMax = 300;
// Motion level: 0 translation, 1 rigid, 2 similarity, 3 affine, 4 perspective.
inline constexpr float kMotionLevelMax = 4, kMotionLevelDefault = 2;
inline constexpr float kOverlayIndexMax = 4294967296.0f;  // 2^32
inline constexpr float kOverlayScaleDefault = 0.5f;
// Mask mode: how the matte joins the alpha the layer brings (quill::AlphaBlend), 0 replace.
inline constexpr float kMaskModeMax = float(quill::kAlphaBlendCount - 1);

// Values at the command's time.
double ReadFeather(FxParamDef* const params[]);
float ReadOpacity(FxParamDef* const params[]);    // 0 to 1
float ReadExpansion(FxParamDef* const params[]);  // layer pixels; negative shrinks
bool ReadInverted(FxParamDef* const params[]);
int32_t ReadMotionLevel(FxParamDef* const params[]);
uint32_t ReadOverlayIndex(FxParamDef* const params[]);
float ReadOverlayScale(FxParamDef* const params[]);
// Truncated toward zero; outside the modes (or NaN) reads as replace.
quill::AlphaBlend ReadMaskMode(FxParamDef* const params[]);

// Writers for event handling: set the value and flag it changed so the host takes it.
void WriteFeather(FxParamDef* params[], double feather);
void WriteExpansion(FxParamDef* params[], float expansion);
void WriteOverlayPair(FxParamDef* params[], uint32_t index, float scale);

}  // namespace mask_effect
