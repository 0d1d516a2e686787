// The feather/expansion handle: a widget standing on the mask outline at a stored place (an edge
// and a position along it), whose square sets the expansion and whose circle sets the feather.
// Distances are shown through a curve that keeps the widget readable when the values are small.
#pragma once

#include <cstdint>
#include <vector>

#include "mask/mask_shape.h"
#include "overlay/screen_space.h"

namespace mask_overlay {

// The outline point of edge `edge` (from vertex edge to the next, wrapping) at parameter t in
// [0, 1], and the outline's unit normal there (to the left of the direction of travel on screen,
// which is outward for a shape drawn clockwise). An edge index past the last edge wraps round;
// t outside [0, 1] or NaN is clamped.
struct OutlinePoint {
  Point point;
  Point normal;
};
OutlinePoint EvaluateOutline(const std::vector<Mask::MaskVertex>& vertices, uint32_t edge, float t);

struct FeatherHandle {
  Point pa;  // on the outline
  Point pb;  // the expansion square
  Point pc;  // the feather circle
  Point pd;  // where the line to the circle stops
  Point normal;
  float overshoot;
};

// The screen-distance curve: values within 100 screen pixels (s = layer units per screen pixel)
// are drawn at least 12 pixels out, growing with the square root; beyond, at their true size.
float HandleDistance(float a, float s);
// Its inverse, for dragging: 0 below 12 pixels, the distance itself beyond 100.
float HandleValue(float d, float s);

FeatherHandle ComputeFeatherHandle(const std::vector<Mask::MaskVertex>& vertices, uint32_t edge, float position,
                                   float expansion, double feather, float dsx, float dsy, float par, float s);

}  // namespace mask_overlay
