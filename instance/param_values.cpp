#include "instance/param_values.h"

#include <limits>

namespace mask_effect {
namespace {

double SliderValue(FxParamDef* const params[], ParamIndex index) { return params[index]->u.slider.value; }

void SetSlider(FxParamDef* params[], ParamIndex index, double value) {
  params[index]->u.slider.value = value;
  params[index]->change_flags |= FxChangeFlag_ChangedValue;
}

}  // namespace

double ReadFeather(FxParamDef* const params[]) { return SliderValue(params, kParamMaskFeather); }

float ReadOpacity(FxParamDef* const params[]) {
  return static_cast<float>(SliderValue(params, kParamMaskOpacity) / 100.0);
}

float ReadExpansion(FxParamDef* const params[]) { return static_cast<float>(SliderValue(params, kParamMaskExpansion)); }

bool ReadInverted(FxParamDef* const params[]) { return params[kParamInverted]->u.checkbox.value != 0; }

quill::AlphaBlend ReadMaskMode(FxParamDef* const params[]) {
  return quill::AlphaBlendFromValue(SliderValue(params, kParamMaskMode));
}

// A stored value outside the integer range would make the conversion undefined; such values
// clamp, and NaN reads as 0.
int32_t ReadMotionLevel(FxParamDef* const params[]) {
  const double v = SliderValue(params, kParamMotionLevel);
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

uint32_t ReadOverlayIndex(FxParamDef* const params[]) {
  const double v = SliderValue(params, kParamOverlayIndex);
  if (!(v > 0)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(static_cast<int64_t>(v));
}

float ReadOverlayScale(FxParamDef* const params[]) {
  return static_cast<float>(SliderValue(params, kParamOverlayScale));
}

void WriteFeather(FxParamDef* params[], double feather) { SetSlider(params, kParamMaskFeather, feather); }

void WriteExpansion(FxParamDef* params[], float expansion) { SetSlider(params, kParamMaskExpansion, expansion); }

void WriteOverlayPair(FxParamDef* params[], uint32_t index, float scale) {
  SetSlider(params, kParamOverlayIndex, static_cast<float>(index));
  SetSlider(params, kParamOverlayScale, scale);
}

}  // namespace mask_effect
