// The mask's outline: built from placed vertices, held as a graphics path, and grown or shrunk
// by the expansion through the graphics component's offset service. Shared by the render and
// the overlay, which draw and hit-test the same outlines.
#pragma once

#include <vector>

#include "mask/mask_shape.h"
#include "render/outline_recorder.h"
#include "services/graphics_procs.h"

namespace mask_render {

// Writes the outline of vertices already in pixels into an empty recorder: curves where a
// vertex has tangents, lines between corners, a close per sub-outline (separators end one).
// An open outline (a shape still being drawn) leaves out the segment from the last vertex back
// to the first, and its close.
void BuildMaskOutline(OutlineRecorder& recorder, const std::vector<Mask::MaskVertex>& vertices, bool open = false);

// A new path holding the recorder's entries.
ComponentRef NewPathFromRecorder(const OutlineRecorder& recorder);

// Replaces the path by the path scaled by (sx, sy) about the origin.
void TransformPath(float sx, float sy, ComponentRef& path);

// Replaces the path by its outline offset by `expansion` pixels (in the layer's x units), for a
// frame downsampled by (dsx, dsy) with pixel aspect `par`.
void OffsetMaskPath(ComponentRef& path, double expansion, float dsx, float dsy, float par);
// What OffsetMaskPath throws for an outline the offset service refuses as too intricate.
inline constexpr const char* kTooIntricateToOffsetText =
    "Mask Expansion cannot be applied: the mask's outline is too intricate (tens of thousands of edges side by "
    "side). Simplify the mask or set Mask Expansion to 0.";

// Whether OffsetMaskPath can take an outline with these control points: the offset service
// refuses coordinates beyond its range once the path is scaled for the pixel aspect.
bool WithinOffsetRange(const std::vector<Mask::MaskVertex>& vertices, float dsx, float dsy, float par);

// The offset service's sink: collects each offset sub-outline and keeps it only when the legs
// of its control polygon add up to more than `threshold` squared pixels, so slivers left by a
// collapsing outline vanish.
class OffsetOutlineFilter {
 public:
  explicit OffsetOutlineFilter(OutlineRecorder* result, double threshold = 1.0)
      : result_(result), threshold_(threshold) {}
  // The service's callback; `filter` is the OffsetOutlineFilter. Always 0.
  static int32_t Callback(float x1, float y1, float x2, float y2, float x3, float y3, int32_t type, void* filter);
  // Decides on the pending sub-outline.
  void Flush();

 private:
  OutlineRecorder* result_;
  OutlineRecorder pending_;
  double threshold_;
  double accumulated_ = 0;
  float last_x_ = 0, last_y_ = 0;
};

}  // namespace mask_render
