#include "host/suites/param_store.h"

#include <iterator>

namespace host {

bool ParamStore::Declare(int32_t index, const FxParamDef& def, std::vector<uint8_t> default_value) {
  if (index != -1 && index != static_cast<int32_t>(params_.size())) return false;
  StoredParam param;
  param.def = def;
  param.def.name[kFxParamNameSize - 1] = '\0';  // an effect's unterminated name stops here
  if (def.param_type == FxParam_Checkbox) param.def.u.checkbox.label[kFxParamNameSize - 1] = '\0';
  if (def.param_type == FxParam_Button) param.def.u.button.label[kFxParamNameSize - 1] = '\0';
  param.default_value = std::move(default_value);
  params_.push_back(std::move(param));
  return true;
}

bool ParamStore::IsNumber(size_t index) const {
  if (index >= params_.size()) return false;
  const int32_t type = params_[index].def.param_type;
  return type == FxParam_FloatSlider || type == FxParam_Checkbox;
}

bool ParamStore::IsValue(size_t index) const {
  return index < params_.size() && params_[index].def.param_type == FxParam_ArbitraryData;
}

bool ParamStore::SetConstant(size_t index, double value) {
  if (!IsNumber(index)) return false;
  params_[index].numbers = {{0, value}};
  return true;
}

bool ParamStore::SetKeyframe(size_t index, int64_t frame, double value) {
  if (!IsNumber(index)) return false;
  params_[index].numbers[frame] = value;
  return true;
}

bool ParamStore::SetValueConstant(size_t index, std::vector<uint8_t> bytes) {
  if (!IsValue(index)) return false;
  params_[index].values = {{0, std::move(bytes)}};
  return true;
}

bool ParamStore::SetValueKeyframe(size_t index, int64_t frame, std::vector<uint8_t> bytes) {
  if (!IsValue(index)) return false;
  params_[index].values[frame] = std::move(bytes);
  return true;
}

size_t ParamStore::EraseValueKeyframes(size_t index, int64_t first, int64_t last) {
  if (!IsValue(index) || first > last) return 0;
  auto& values = params_[index].values;
  const auto from = values.lower_bound(first), to = values.upper_bound(last);
  const size_t count = size_t(std::distance(from, to));
  values.erase(from, to);
  return count;
}

bool ParamStore::RestoreValues(size_t index, const StoredParam& from) {
  if (index >= params_.size() || from.def.param_type != params_[index].def.param_type) return false;
  params_[index].numbers = from.numbers;
  params_[index].values = from.values;
  return true;
}

double ParamStore::NumberAt(size_t index, int64_t frame) const {
  if (!IsNumber(index)) return 0;
  const StoredParam& p = params_[index];
  if (p.numbers.empty())
    return p.def.param_type == FxParam_Checkbox ? p.def.u.checkbox.default_value : p.def.u.slider.default_value;
  const auto right = p.numbers.lower_bound(frame);
  if (right == p.numbers.end()) return std::prev(right)->second;  // after the last: held
  if (right->first == frame || right == p.numbers.begin()) return right->second;
  const auto left = std::prev(right);
  if (p.def.param_type == FxParam_Checkbox) return left->second;  // switches, never blends
  const double t = double(frame - left->first) / double(right->first - left->first);
  return left->second + (right->second - left->second) * t;
}

ParamStore::Bracket ParamStore::ValueAt(size_t index, int64_t frame) const {
  if (!IsValue(index) || params_[index].values.empty()) return {};
  const auto& values = params_[index].values;
  const auto right = values.lower_bound(frame);
  if (right == values.end()) return {&std::prev(right)->second, &std::prev(right)->second, 0};
  if (right->first == frame || right == values.begin()) return {&right->second, &right->second, 0};
  const auto left = std::prev(right);
  return {&left->second, &right->second, double(frame - left->first) / double(right->first - left->first)};
}

const char* ParamTypeName(int32_t type) {
  switch (type) {
    case FxParam_Layer: return "layer";
    case FxParam_Checkbox: return "checkbox";
    case FxParam_FloatSlider: return "float slider";
    case FxParam_ArbitraryData: return "arbitrary data";
    case FxParam_GroupStart: return "group start";
    case FxParam_GroupEnd: return "group end";
    case FxParam_Button: return "button";
    default: return "unknown";
  }
}

}  // namespace host
