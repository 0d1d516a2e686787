// The host's parameter store for one effect instance: the definitions the effect declared and
// their values over time. Numbers are keyed per frame, held before the first and after the last
// keyframe and linear between slider keyframes; arbitrary-data values are byte blocks whose
// in-between values the effect computes (see EffectHost::ParamsAt).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/sdk/params.h"

namespace host {

struct StoredParam {
  FxParamDef def{};                                // as declared
  std::map<int64_t, double> numbers;               // frame -> value; empty: the default
  std::map<int64_t, std::vector<uint8_t>> values;  // arbitrary data, frame -> bytes
  std::vector<uint8_t> default_value;              // arbitrary data
};

class ParamStore {
 public:
  // Index -1 appends; returns false when the index is out of order or the record unusable.
  bool Declare(int32_t index, const FxParamDef& def, std::vector<uint8_t> default_value = {});
  size_t size() const { return params_.size(); }
  const StoredParam& at(size_t index) const { return params_.at(index); }
  void Clear() { params_.clear(); }

  // A slider or checkbox value that holds for the whole clip, or one keyframe of it.
  bool SetConstant(size_t index, double value);
  bool SetKeyframe(size_t index, int64_t frame, double value);
  // Arbitrary data.
  bool SetValueConstant(size_t index, std::vector<uint8_t> bytes);
  bool SetValueKeyframe(size_t index, int64_t frame, std::vector<uint8_t> bytes);
  // Removes the arbitrary-data keyframes from `first` to `last` (both kept in), answering how
  // many went.
  size_t EraseValueKeyframes(size_t index, int64_t first, int64_t last);
  // Gives parameter `index` the values over time that `from` holds (its definition stays): what
  // an undo brings back.
  bool RestoreValues(size_t index, const StoredParam& from);

  double NumberAt(size_t index, int64_t frame) const;

  // The keyframes around `frame` of an arbitrary-data parameter: `left` and `right` are the
  // same when frame is on or outside the keyed range (or there is one keyframe). Null when the
  // parameter has no keyframes (the default holds).
  struct Bracket {
    const std::vector<uint8_t>* left = nullptr;
    const std::vector<uint8_t>* right = nullptr;
    double t = 0;
  };
  Bracket ValueAt(size_t index, int64_t frame) const;

 private:
  bool IsNumber(size_t index) const;
  bool IsValue(size_t index) const;
  std::vector<StoredParam> params_;
};

// "float slider", "checkbox", ... for listings.
const char* ParamTypeName(int32_t type);

}  // namespace host
