#include "host/hosting/param_listing.h"

#include <cstdio>

#include "host/documents/mask_params.h"
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

std::string RangeText(float low, float high) { return MatteRange{low, high}.Text(); }

// The effect declares in floats: the table's values as a float would hold them.
bool SameRange(float low, float high, const MatteRange& range) {
  return low == float(range.low) && high == float(range.high);
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
      case FxParam_ArbitraryData: item.default_value = ArbitraryDefault(p.default_value); break;
      default: break;
    }
    list.push_back(std::move(item));
  }
  return list;
}

std::vector<ParamDifference> MatteParamDifferences(const ParamStore& params) {
  std::vector<ParamDifference> found;
  for (const MatteParam& p : kMatteParams) {
    const std::string who = "parameter " + std::to_string(p.index) + " (" + p.name + ")";
    const auto differ = [&](bool binding, const std::string& what) { found.push_back({binding, who + ": " + what}); };
    if (p.index >= params.size()) {
      differ(true, "not declared (the effect declared " + std::to_string(params.size()) + " parameters)");
      continue;
    }
    const FxParamDef& def = params.at(p.index).def;
    const int32_t type = p.checkbox ? FxParam_Checkbox : FxParam_FloatSlider;
    if (def.param_type != type) {
      differ(true, std::string("of type ") + ParamTypeName(def.param_type) + ", expected " + ParamTypeName(type));
      continue;
    }
    if (p.checkbox) {
      if (std::string(def.u.checkbox.label) != p.name)
        differ(false, "labelled \"" + std::string(def.u.checkbox.label) + "\"");
      if (def.u.checkbox.default_value != int32_t(p.default_value))
        differ(false, std::string(def.u.checkbox.default_value ? "on" : "off") + " by default, expected " +
                          (p.default_value ? "on" : "off"));
      continue;
    }
    const FxFloatSliderDef& s = def.u.slider;
    if (std::string(def.name) != p.name) differ(false, "named \"" + std::string(def.name) + "\"");
    if (!SameRange(s.valid_min, s.valid_max, p.range))
      differ(true, "accepts " + RangeText(s.valid_min, s.valid_max) + ", expected " + p.range.Text());
    if (!SameRange(s.slider_min, s.slider_max, p.slider))
      differ(false, "slider spans " + RangeText(s.slider_min, s.slider_max) + ", expected " + p.slider.Text());
    if (s.default_value != float(p.default_value))
      differ(false, "defaults to " + Number(s.default_value) + ", expected " + Number(p.default_value));
  }
  return found;
}

}  // namespace host
