// Where the Mask effect keeps its values in the parameter array. These positions are part of
// the effect's published interface (documents, keyframes and saved projects rely on them), so
// the host names them here rather than asking the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace host {

inline constexpr int32_t kTrackBackwardParam = 2;  // "<<"
inline constexpr int32_t kTrackForwardParam = 3;   // ">>"
inline constexpr size_t kMaskPathParam = 6;
inline constexpr size_t kMaskFeatherParam = 7;
inline constexpr size_t kMaskOpacityParam = 8;
inline constexpr size_t kMaskExpansionParam = 9;
inline constexpr size_t kMaskInvertedParam = 10;
inline constexpr size_t kMotionLevelParam = 11;
inline constexpr size_t kMaskModeParam = 14;  // how the matte joins the layer's alpha; 0 replace
inline constexpr size_t kMaskParamCount = 15;

// The mask modes by the values the effect takes: replace writes the matte as the alpha, the
// others join it with the alpha the picture brings.
inline constexpr const char* kMaskModeNames[] = {"replace",    "add",     "subtract", "intersect",
                                                 "difference", "lighten", "darken"};
inline constexpr int kMaskModeCount = 7;

// The mode's value, -1 for a name that is none.
inline int MaskModeOf(std::string_view name) {
  for (int mode = 0; mode < kMaskModeCount; ++mode)
    if (name == kMaskModeNames[mode]) return mode;
  return -1;
}

// "replace, add, subtract, intersect, difference, lighten or darken"
inline std::string MaskModeList() {
  std::string list;
  for (int mode = 0; mode < kMaskModeCount; ++mode)
    list += std::string(mode == 0 ? "" : mode + 1 == kMaskModeCount ? " or " : ", ") + kMaskModeNames[mode];
  return list;
}

struct MatteRange {
  double low, high;
  bool Contains(double v) const { return v >= low && v <= high; }
  // "0 to 1000", "-1000 to 1000"
  std::string Text() const {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g to %.10g", low, high);
    return text;
  }
};

// One matte control: the name documents, maskfx flags (--key) and the studio's messages know it
// by, where the effect keeps it and what the effect declares for it. The effect's declaration
// must agree (MatteParamDifferences, which ApplyMaskDocument heeds); a document, a flag or a page
// giving a value outside `range` is refused.
struct MatteParam {
  const char* key;
  const char* name;  // the effect's name for it (a checkbox's label)
  size_t index;
  bool checkbox;      // off 0, on 1
  MatteRange range;   // the values the effect accepts
  MatteRange slider;  // the part its slider spans; the rest is typed in
  double default_value;
};

inline constexpr MatteParam kMatteParams[] = {
    {"feather", "Mask Feather", kMaskFeatherParam, false, {0, 1000}, {0, 300}, 10},
    {"opacity", "Mask Opacity", kMaskOpacityParam, false, {0, 100}, {0, 100}, 100},
    {"expansion", "Mask Expansion", kMaskExpansionParam, false, {-1000, 1000}, {-300, 300}, 0},
    {"inverted", "Inverted", kMaskInvertedParam, true, {0, 1}, {0, 1}, 0},
};

inline constexpr const MatteParam& kMatteFeather = kMatteParams[0];
inline constexpr const MatteParam& kMatteOpacity = kMatteParams[1];
inline constexpr const MatteParam& kMatteExpansion = kMatteParams[2];
inline constexpr const MatteParam& kMatteInverted = kMatteParams[3];

// The entry for `key`, or null.
inline const MatteParam* FindMatteParam(std::string_view key) {
  for (const MatteParam& p : kMatteParams)
    if (key == p.key) return &p;
  return nullptr;
}

}  // namespace host
