#include "host/hosting/param_listing.h"

#include <cstdio>

#include "mask/mask_shape.h"

namespace host {
namespace {

std::string Number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

std::string SliderRange(const FxFloatSliderDef& s) {
  std::string range = Number(s.valid_min) + " to " + Number(s.valid_max);
  if (s.slider_min != s.valid_min || s.slider_max != s.valid_max)
    range += " (slider " + Number(s.slider_min) + " to " + Number(s.slider_max) + ")";
  if (s.display_flags & FxSliderDisplay_Percent) range += " %";
  return range;
}

std::string ArbitraryDefault(const std::vector<uint8_t>& bytes) {
  Mask::MaskShape shape;
  if (!Mask::UnflattenMaskShape(bytes.data(), bytes.size(), shape)) return std::to_string(bytes.size()) + " bytes";
  return DescribeShape(shape);
}

}  // namespace

std::string DescribeShape(const Mask::MaskShape& shape) {
  static const char* const kModes[] = {"closed", "ellipse", "open"};
  const std::string mode = shape.mode < 3 ? kModes[shape.mode] : "mode " + std::to_string(shape.mode);
  const size_t n = shape.vertices.size();
  return mode + ", " + std::to_string(n) + (n == 1 ? " vertex" : " vertices");
}

std::vector<ParamListing> ListParams(const ParamStore& params) {
  std::vector<ParamListing> list;
  for (size_t i = 0; i < params.size(); ++i) {
    const StoredParam& p = params.at(i);
    ParamListing item;
    item.index = i;
    item.name = p.def.name;
    item.type = ParamTypeName(p.def.param_type);
    item.hidden = (p.def.ui_flags & FxParamUIFlag_Invisible) != 0;
    switch (p.def.param_type) {
      case FxParam_FloatSlider:
        item.range = SliderRange(p.def.u.slider);
        item.default_value = Number(p.def.u.slider.default_value);
        break;
      case FxParam_Checkbox:
        if (item.name.empty()) item.name = p.def.u.checkbox.label;
        item.range = "off, on";
        item.default_value = p.def.u.checkbox.default_value ? "on" : "off";
        break;
      case FxParam_Button:
        if (item.name.empty()) item.name = p.def.u.button.label;
        break;
      case FxParam_ArbitraryData:
        item.default_value = ArbitraryDefault(p.default_value);
        break;
      default: break;
    }
    list.push_back(std::move(item));
  }
  return list;
}

}  // namespace host
