// What a click in the composition view lands on: the feather/expansion widget, a vertex or one
// of its shown tangent points, an edge of the outline, or the inside of the mask. Distances are
// Manhattan distances between whole screen pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "instance/sequence_data.h"
#include "mask/mask_shape.h"
#include "overlay/feather_handle.h"
#include "overlay/screen_space.h"

namespace mask_overlay {

inline constexpr int32_t kHandleHitDistance = 12;  // widget points and tangent points
inline constexpr int32_t kAnchorHitDistance = 32;  // anchors; from 12 on the hit is "far"
inline constexpr float kEdgeTolerance = 6.0f;      // screen pixels either side of an edge

struct ScreenPixel {
  int32_t x, y;
};
int32_t ManhattanDistance(ScreenPixel a, ScreenPixel b);
ScreenPixel ToScreenPixel(const FxEventExtra& extra, Point layer);

// The widget point hit (0 Pa, 1 Pb, 2 Pc), nearest first, ties to the earlier.
std::optional<int32_t> HitFeatherHandle(const FxEventExtra& extra, const FeatherHandle& handle, ScreenPixel click);

struct VertexHit {
  size_t index;
  int32_t part;  // 0 anchor, 1 incoming tangent, 2 outgoing tangent
  bool far;      // an anchor hit 12 or more pixels away
};
// `show_handles`: tangent points count only where they are drawn (curve vertices next to a
// selected one).
std::optional<VertexHit> HitVertex(const FxEventExtra& extra, const std::vector<Mask::MaskVertex>& layer_vertices,
                                   bool show_handles, mask_effect::SequenceRecord* record, ScreenPixel click);

struct EdgeHit {
  uint32_t edge;
  float t;  // where along it the click is nearest
};
// Edges within `tolerance` screen pixels (s layer units a pixel) of the layer point.
std::optional<EdgeHit> HitEdge(const Mask::MaskShape& shape, const std::vector<Mask::MaskVertex>& layer_vertices,
                               Point layer_click, float tolerance, float s);

// Whether the layer point is inside the closed outline (bounds first, then the fill painter).
bool IsInsideMask(const Mask::MaskShape& shape, const std::vector<Mask::MaskVertex>& layer_vertices, Point layer_point,
                  float layer_width, float layer_height);

// The point of `edge` nearest to `p` as a curve parameter.
float NearestOnEdge(const std::vector<Mask::MaskVertex>& vertices, uint32_t edge, Point p);

}  // namespace mask_overlay
