// The host's private suites for the mask path parameter: structural edits the host applies to
// the path itself, and keyframes found by tracking. Both tables are numbered from 1: the
// "// N" notes give each member's position.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sdk/effect_interface.h"

extern "C" {

// An exact time in seconds, num / den. den is never 0 in a time the module hands over.
struct FxRatioTime {
  int64_t num;
  int64_t den;
};

// Every request names the effect instance and the index of the path parameter it edits. The
// host applies the edit to the parameter's value on its own; the module does not wait for it.
inline constexpr const char* kFxMaskingSuiteName = "Halvorne Private Masking Suite";
inline constexpr int32_t kFxMaskingSuiteVersion = 1;
struct FxMaskingSuite {
  // 1: inserts a vertex on the segment that starts at vertex_index, at curve parameter t in
  // [0, 1]; the new vertex gets vertex_index + 1. Non-zero: the host refused.
  FxErr (*InsertVertex)(FxEffectRef effect_ref, int32_t param_index, int32_t vertex_index,
                        float t);
  // 2: deletes a vertex.
  FxErr (*DeleteVertex)(FxEffectRef effect_ref, int32_t param_index, int32_t vertex_index);
  // 3: appends a vertex to an open path at (x, y) normalised to the layer's width and height;
  // it gets the index of the current vertex count.
  FxErr (*AppendVertex)(FxEffectRef effect_ref, int32_t param_index, float x, float y);
  // 4: closes an open path.
  FxErr (*ClosePath)(FxEffectRef effect_ref, int32_t param_index);
  // 5: converts a vertex of a path in ellipse mode; the host changes its kind.
  FxErr (*ConvertVertex)(FxEffectRef effect_ref, int32_t param_index, int32_t vertex_index);
};

inline constexpr const char* kFxTrackingSuiteName = "Halvorne Private Tracking Suite";
inline constexpr int32_t kFxTrackingSuiteVersion = 1;
struct FxTrackingSuite {
  // 1: hands over a keyframe pair for the path parameter: the serialised path at time0 and at
  // time1, each in a host handle that stays the caller's (the host copies what it keeps). Both
  // shapes null means a tracking request produced no keyframes; the times are then 0/1.
  FxErr (*SetKeyframePair)(FxEffectRef effect_ref, int32_t param_index, const FxRatioTime* time0,
                           FxHandle shape0, const FxRatioTime* time1, FxHandle shape1);
};

}  // extern "C"

// The table positions the module relies on.
static_assert(offsetof(FxMaskingSuite, ClosePath) == 3 * sizeof(void (*)()));
static_assert(sizeof(FxMaskingSuite) == 5 * sizeof(void (*)()));
static_assert(sizeof(FxTrackingSuite) == 1 * sizeof(void (*)()));
static_assert(sizeof(FxRatioTime) == 16);
