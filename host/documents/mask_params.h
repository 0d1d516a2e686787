// Where the Mask effect keeps its values in the parameter array. These positions are part of
// the effect's published interface (documents, keyframes and saved projects rely on them), so
// the host names them here rather than asking the module.
#pragma once

#include <cstddef>

namespace host {

inline constexpr int32_t kTrackBackwardParam = 2;  // "<<"
inline constexpr int32_t kTrackForwardParam = 3;   // ">>"
inline constexpr size_t kMaskPathParam = 6;
inline constexpr size_t kMaskFeatherParam = 7;
inline constexpr size_t kMaskOpacityParam = 8;
inline constexpr size_t kMaskExpansionParam = 9;
inline constexpr size_t kMaskInvertedParam = 10;
inline constexpr size_t kMotionLevelParam = 11;
inline constexpr size_t kMaskParamCount = 14;

// The values a document or the command line may give the matte controls; the effect's sliders
// accept the same.
struct MatteRange {
  int low, high;
  bool Contains(double v) const { return v >= low && v <= high; }
};
inline constexpr MatteRange kFeatherRange{0, 1000};
inline constexpr MatteRange kOpacityRange{0, 100};
inline constexpr MatteRange kExpansionRange{-1000, 1000};

}  // namespace host
