#include "host/suites/pf_suites.h"

#include <algorithm>

#include "host/suites/effect_instance.h"

namespace host {
namespace {

FxErr AddSupportedPixelFormat(FxEffectRef ref, uint32_t format) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr) return FxErr_BadCallbackParam;
  auto& formats = instance->pixel_formats;
  if (std::find(formats.begin(), formats.end(), format) == formats.end()) formats.push_back(format);
  return FxErr_None;
}

FxErr ClearSupportedPixelFormats(FxEffectRef ref) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr) return FxErr_BadCallbackParam;
  instance->pixel_formats.clear();
  return FxErr_None;
}

FxErr GetPixelFormat(const FxWorld* world, uint32_t* format) {
  if (world == nullptr || format == nullptr) return FxErr_BadCallbackParam;
  *format = world->pixel_format;
  return FxErr_None;
}

FxErr AddBackgroundTransferMode(FxEffectRef ref, int32_t kind, uint32_t format) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr) return FxErr_BadCallbackParam;
  instance->background_formats.emplace_back(kind, format);
  return FxErr_None;
}

FxErr SetGroupState(FxEffectRef ref, int32_t param_index, int32_t state) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr) return FxErr_BadCallbackParam;
  instance->group_states.emplace_back(param_index, state);
  return FxErr_None;
}

const FxPixelFormatSuite kPixelFormatSuite = {&AddSupportedPixelFormat, &ClearSupportedPixelFormats, nullptr, nullptr,
                                              &GetPixelFormat};
const FxBackgroundFrameSuite kBackgroundFrameSuite = {&AddBackgroundTransferMode};
const FxGroupParamSuite kGroupParamSuite = {&SetGroupState};

}  // namespace

const FxPixelFormatSuite* PixelFormatSuite() { return &kPixelFormatSuite; }
const FxBackgroundFrameSuite* BackgroundFrameSuite() { return &kBackgroundFrameSuite; }
const FxGroupParamSuite* GroupParamSuite() { return &kGroupParamSuite; }

}  // namespace host
