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
  FxErr (*InsertVertex)(FxEffectRef effect_ref, int32_t param_index, int32_t vertex_index, float t);
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
  FxErr (*SetKeyframePair)(FxEffectRef effect_ref, int32_t param_index, const FxRatioTime* time0, FxHandle shape0,
                           const FxRatioTime* time1, FxHandle shape1);
};

// Version 2 adds what each press did. A host that offers only version 1 hears nothing of it.
inline constexpr int32_t kFxTrackingSuiteVersion2 = 2;

// One press's outcome. `size` is the record's size in bytes as the module knows it, so that
// either side may be newer: the host reads only the fields that fit.
struct FxPressReport {
  int32_t size;
  int32_t level_requested;      // motion levels: 0 translation, 1 rigid, 2 similarity, 3 affine, 4 perspective
  int32_t level_used;           // -1: nothing fitted, the mask stayed where it was
  int32_t features_selected;    // corners chosen in the frame tracked from
  int32_t features_followed;    // of those, found in the next frame
  int32_t features_fitted;      // of those, within the fitted motion
  int32_t reference;            // 0 none, 1 this press's frame became the reference, 2 taken, 3 declined
  int32_t reference_found;      // the reference's features found in the next frame
  int64_t reference_frame;      // the reference's frame index
  double reference_correction;  // pixels the reference moved the mask's box corners from the frame step
  const char* fallback;         // why a simpler model than asked for was used, or ""
  const char* reference_note;   // why the reference was declined, or ""
};

struct FxTrackingSuite2 {
  // 1: as in version 1.
  FxErr (*SetKeyframePair)(FxEffectRef effect_ref, int32_t param_index, const FxRatioTime* time0, FxHandle shape0,
                           const FxRatioTime* time1, FxHandle shape1);
  // 2: what the press that keys time1 did; strings are the caller's and last for the call only.
  FxErr (*ReportPress)(FxEffectRef effect_ref, int32_t param_index, const FxRatioTime* time1,
                       const FxPressReport* report);
};

}  // extern "C"

// The table positions the module relies on.
static_assert(offsetof(FxMaskingSuite, ClosePath) == 3 * sizeof(void (*)()));
static_assert(sizeof(FxMaskingSuite) == 5 * sizeof(void (*)()));
static_assert(sizeof(FxTrackingSuite) == 1 * sizeof(void (*)()));
static_assert(sizeof(FxTrackingSuite2) == 2 * sizeof(void (*)()));
static_assert(offsetof(FxPressReport, reference_frame) == 32);
static_assert(sizeof(FxRatioTime) == 16);
