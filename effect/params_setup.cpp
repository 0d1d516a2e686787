#include "effect/params_setup.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "effect/global_setup.h"
#include "mask/mask_shape.h"
#include "platform/sdk/pf_suites.h"
#include "services/suite_access.h"

namespace mask_effect {
namespace {

struct SliderSpec {
  float valid_min, valid_max, slider_min, slider_max, default_value;
  int16_t precision;
  int16_t display_flags;
};

FxParamDef NewDef(ParamIndex index, FxParamType type, int32_t flags = 0, int32_t ui_flags = 0) {
  FxParamDef def;
  std::memset(&def, 0, sizeof def);
  def.id = index;
  def.param_type = type;
  def.flags = flags;
  def.ui_flags = ui_flags;
  return def;
}

FxParamDef ButtonDef(ParamIndex index, const char* label) {
  FxParamDef def = NewDef(index, FxParam_Button, FxParamFlag_CannotTimeVary | FxParamFlag_Supervise);
  CopyParamName(def.u.button.label, label);
  return def;
}

FxParamDef SliderDef(ParamIndex index, const SliderSpec& spec, int32_t flags = 0, int32_t ui_flags = 0) {
  FxParamDef def = NewDef(index, FxParam_FloatSlider, flags, ui_flags);
  FxFloatSliderDef& s = def.u.slider;
  s.valid_min = spec.valid_min;
  s.valid_max = spec.valid_max;
  s.slider_min = spec.slider_min;
  s.slider_max = spec.slider_max;
  s.value = spec.default_value;
  s.default_value = spec.default_value;
  s.precision = spec.precision;
  s.display_flags = spec.display_flags;
  s.curve_tolerance = 0.05f;
  return def;
}

FxParamDef NamedSliderDef(const FxInData* in_data, ParamIndex index, ModuleString name, const SliderSpec& spec) {
  FxParamDef def = SliderDef(index, spec);
  CopyParamName(def.name, ModuleText(in_data, name));
  return def;
}

constexpr int32_t kHiddenFlags = FxParamFlag_CannotTimeVary | FxParamFlag_ExcludeFromHaveInputsChanged;

FxErr Add(const FxInData* in_data, const FxParamDef& def) {
  return in_data->inter.add_param(in_data->effect_ref, -1, &def);
}

FxErr DeclareTrackingGroup(FxInData* in_data, FxOutData* out_data) {
  const void* suite = nullptr;
  if (AcquireSuiteOrReport(in_data, out_data, kFxGroupParamSuiteName, kFxGroupParamSuiteVersion, nullptr, &suite) !=
      FxErr_None)
    return FxErr_None;  // the tracking controls are left out; the matte still works
  FxErr err = Add(in_data, NewDef(kParamTrackGroupStart, FxParam_GroupStart));
  if (err == FxErr_None) {
    static_cast<const FxGroupParamSuite*>(suite)->SetGroupState(in_data->effect_ref, -1, kTrackGroupState);
    for (const FxParamDef& button :
         {ButtonDef(kParamTrackBackward, "<<"), ButtonDef(kParamTrackForward, ">>"),
          ButtonDef(kParamFlushFrameCache, "FlushFrameCache"), NewDef(kParamTrackGroupEnd, FxParam_GroupEnd)}) {
      if ((err = Add(in_data, button)) != FxErr_None) break;
    }
  }
  ReleaseSuiteOrReport(in_data, out_data, kFxGroupParamSuiteName, kFxGroupParamSuiteVersion, nullptr);
  return err;
}

// The default value is the empty open shape, so a new instance masks nothing.
FxErr DeclareMaskPath(FxInData* in_data) {
  Mask::MaskShape empty;
  empty.mode = Mask::kMaskModeOpen;
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(empty, bytes);
  FxHandle value = in_data->utils->new_handle(bytes.size());
  if (value == nullptr || *value == nullptr) return FxErr_OutOfMemory;
  std::memcpy(*value, bytes.data(), bytes.size());

  FxParamDef def = NewDef(kParamMaskPath, FxParam_ArbitraryData);
  CopyParamName(def.name, ModuleText(in_data, kStrMaskPath));
  def.u.arb.id = kParamMaskPath;
  def.u.arb.refcon = reinterpret_cast<void*>(kMaskPathRefcon);
  def.u.arb.default_value = value;
  const FxErr err = Add(in_data, def);
  // A refused parameter leaves its default with us.
  if (err != FxErr_None) in_data->utils->dispose_handle(value);
  return err;
}

FxErr DeclareMatteParams(FxInData* in_data) {
  const FxParamDef defs[] = {
      NamedSliderDef(in_data, kParamMaskFeather, kStrMaskFeather,
                     {0, kFeatherMax, 0, kFeatherSliderMax, kFeatherDefault, 1, 0}),
      NamedSliderDef(in_data, kParamMaskOpacity, kStrMaskOpacity,
                     {0, kOpacityMax, 0, kOpacityMax, kOpacityDefault, 1, FxSliderDisplay_Percent}),
      NamedSliderDef(in_data, kParamMaskExpansion, kStrMaskExpansion,
                     {-kExpansionMax, kExpansionMax, -kExpansionSliderMax, kExpansionSliderMax, 0, 1, 0}),
  };
  for (const FxParamDef& def : defs)
    if (const FxErr err = Add(in_data, def); err != FxErr_None) return err;

  FxParamDef inverted = NewDef(kParamInverted, FxParam_Checkbox, FxParamFlag_CannotTimeVary);
  CopyParamName(inverted.u.checkbox.label, ModuleText(in_data, kStrInverted));
  if (const FxErr err = Add(in_data, inverted); err != FxErr_None) return err;

  const FxParamDef hidden[] = {
      SliderDef(kParamMotionLevel, {0, kMotionLevelMax, 0, kMotionLevelMax, kMotionLevelDefault, 0, 0}, kHiddenFlags,
                FxParamUIFlag_Invisible),
      SliderDef(kParamOverlayIndex, {0, kOverlayIndexMax, 0, kOverlayIndexMax, 0, 0, 0}, kHiddenFlags,
                FxParamUIFlag_Invisible),
      SliderDef(
          kParamOverlayScale,
          {0, std::numeric_limits<float>::max(), 0, std::numeric_limits<float>::max(), kOverlayScaleDefault, 1, 0},
          kHiddenFlags, FxParamUIFlag_Invisible),
  };
  for (const FxParamDef& def : hidden)
    if (const FxErr err = Add(in_data, def); err != FxErr_None) return err;
  // After every documented parameter, so that their indices stay what stored projects hold.
  return Add(in_data,
             NamedSliderDef(in_data, kParamMaskMode, kStrMaskMode, {0, kMaskModeMax, 0, kMaskModeMax, 0, 0, 0}));
}

}  // namespace

void CopyParamName(char (&field)[kFxParamNameSize], const char* text) {
  size_t length = text ? std::strlen(text) : 0;
  if (length >= kFxParamNameSize) {
    length = kFxParamNameSize - 1;
    // Never leave half a UTF-8 character at the end.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memset(field, 0, kFxParamNameSize);
  if (length > 0) std::memcpy(field, text, length);
}

FxErr ParamsSetup(FxInData* in_data, FxOutData* out_data, FxParamDef*[], FxWorld*) {
  if (in_data->inter.add_param == nullptr || in_data->utils == nullptr) return FxErr_BadCallbackParam;
  if (const FxErr err = DeclareTrackingGroup(in_data, out_data); err != FxErr_None) return err;
  if (const FxErr err = DeclareMaskPath(in_data); err != FxErr_None) return err;
  if (const FxErr err = DeclareMatteParams(in_data); err != FxErr_None) return err;

  FxCustomUIInfo ui{};
  ui.events = FxCustomUIEvents_Composition;
  // The overlay is a convenience: a host that cannot show it still renders the matte.
  if (in_data->inter.register_ui) in_data->inter.register_ui(in_data->effect_ref, &ui);
  out_data->num_params = kParamCount;
  return FxErr_None;
}

}  // namespace mask_effect
