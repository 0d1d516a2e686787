// Parameter definitions (what an effect declares at parameter setup) and parameter values (what
// the host hands back with every later command, at the command's time).
#pragma once

#include <cstdint>

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/world.h"

extern "C" {

enum FxParamType : int32_t {
  FxParam_Layer = 0,  // the host's own input layer, always index 0
  FxParam_Checkbox = 4,
  FxParam_FloatSlider = 10,
  FxParam_ArbitraryData = 11,
  FxParam_GroupStart = 13,
  FxParam_GroupEnd = 14,
  FxParam_Button = 15,
};

enum : int32_t {
  FxParamFlag_CannotTimeVary = 1 << 1,
  FxParamFlag_Supervise = 1 << 6,  // the effect is told of changes (command 13)
  FxParamFlag_ExcludeFromHaveInputsChanged = 1 << 8,
};
enum : int32_t {
  FxParamUIFlag_Invisible = 1 << 9,
};
enum : int32_t {
  FxChangeFlag_ChangedValue = 1 << 0,  // set by an effect that wrote a new value
};

inline constexpr size_t kFxParamNameSize = 32;  // 31 characters and the terminating NUL

struct FxLayerDef {
  FxWorld world;  // the layer's pixel buffer at the command's time
};

struct FxFloatSliderDef {
  double value;  // current value
  float valid_min, valid_max;
  float slider_min, slider_max;
  float default_value;
  int16_t precision;      // digits after the decimal point
  int16_t display_flags;  // 1: shown as a percentage
  int32_t phase;
  float curve_tolerance;
  int32_t use_exponent;
  float exponent;
};
enum : int16_t { FxSliderDisplay_Percent = 1 };

struct FxCheckboxDef {
  int32_t value;
  int32_t default_value;
  char label[kFxParamNameSize];  // shown beside the box
};

struct FxButtonDef {
  char label[kFxParamNameSize];
};

struct FxArbitraryDef {
  int16_t id;
  int16_t reserved;
  void* refcon;    // identifies the effect's own values in the arbitrary-data callback
  FxHandle value;  // current value; null in a definition
  FxHandle default_value;
};

union FxParamValue {
  FxLayerDef layer;
  FxFloatSliderDef slider;
  FxCheckboxDef checkbox;
  FxButtonDef button;
  FxArbitraryDef arb;
};

struct FxParamDef {
  int32_t id;
  FxParamType param_type;
  char name[kFxParamNameSize];
  int32_t flags;
  int32_t ui_flags;
  int32_t change_flags;
  FxParamValue u;
};

// Custom user interface registration; events is a mask of FxCustomUIEvents_*.
struct FxCustomUIInfo {
  int32_t events;
  int32_t comp_ui_width, comp_ui_height, comp_ui_alignment;
  int32_t layer_ui_width, layer_ui_height, layer_ui_alignment;
  int32_t preview_ui_width, preview_ui_height, preview_ui_alignment;
};
enum : int32_t { FxCustomUIEvents_Composition = 1 };

}  // extern "C"
