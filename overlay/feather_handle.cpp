#include "overlay/feather_handle.h"

#include <algorithm>
#include <cmath>

namespace mask_overlay {
namespace {

using Mask::MaskVertex;

Point Bezier(Point p0, Point p1, Point p2, Point p3, float t) {
  const float u = 1 - t;
  const float a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
  return {a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y};
}

Point BezierTangent(Point p0, Point p1, Point p2, Point p3, float t) {
  const float u = 1 - t;
  const float a = 3 * u * u, b = 6 * u * t, c = 3 * t * t;
  return {a * (p1.x - p0.x) + b * (p2.x - p1.x) + c * (p3.x - p2.x),
          a * (p1.y - p0.y) + b * (p2.y - p1.y) + c * (p3.y - p2.y)};
}

bool Normalise(Point& v) {
  const float len = std::hypot(v.x, v.y);
  if (!(len > 0) || !std::isfinite(len)) return false;
  v = {v.x / len, v.y / len};
  return true;
}

}  // namespace

OutlinePoint EvaluateOutline(const std::vector<MaskVertex>& v, uint32_t edge, float t) {
  if (v.empty()) return {{0, 0}, {0, -1}};
  const size_t n = v.size();
  const size_t i = edge % n;
  const MaskVertex& a = v[i];
  const MaskVertex& b = v[(i + 1) % n];
  t = (t == t) ? std::clamp(t, 0.0f, 1.0f) : 0.0f;
  // The segment as the outline builds it: tangents only where a vertex has them.
  const Point p0{a.anchor_x, a.anchor_y}, p3{b.anchor_x, b.anchor_y};
  const Point p1 = a.kind == Mask::kVertexCorner ? p0 : Point{a.out_x, a.out_y};
  const Point p2 = b.kind == Mask::kVertexCurve ? Point{b.in_x, b.in_y} : p3;
  // Between two corners the outline is a straight line, run at constant speed like an edit's
  // split of it.
  const bool straight = a.kind == Mask::kVertexCorner && b.kind != Mask::kVertexCurve;
  OutlinePoint result{straight ? Point{p0.x + (p3.x - p0.x) * t, p0.y + (p3.y - p0.y) * t} : Bezier(p0, p1, p2, p3, t),
                      {0, -1}};
  Point d = straight ? Point{p3.x - p0.x, p3.y - p0.y} : BezierTangent(p0, p1, p2, p3, t);
  if (!Normalise(d)) {  // a cusp or a point-like edge: fall back to the chord
    d = {p3.x - p0.x, p3.y - p0.y};
    if (!Normalise(d)) return result;
  }
  // Left of the direction of travel on screen (y down): outward for a clockwise outline.
  result.normal = {d.y, -d.x};
  return result;
}

float HandleDistance(float a, float s) {
  const float lo = 12 * s, hi = 100 * s;
  if (std::fabs(a) > hi) return a;
  const float grow = (hi - lo) * std::sqrt(std::fabs(a) / hi);
  return a >= 0 ? lo + grow : -lo - grow;
}

float HandleValue(float d, float s) {
  const float lo = 12 * s, hi = 100 * s;
  if (d < lo) return 0;
  if (d > hi) return d;
  const float r = (d - lo) / (hi - lo);
  return r * r * hi;
}

FeatherHandle ComputeFeatherHandle(const std::vector<MaskVertex>& vertices, uint32_t edge, float position,
                                   float expansion, double feather, float dsx, float dsy, float par, float s) {
  const OutlinePoint at = EvaluateOutline(vertices, edge, position);
  FeatherHandle h{};
  h.pa = at.point;
  h.normal = at.normal;
  const float k = (dsx / dsy) / par;
  const Point axis{k * at.normal.x, at.normal.y};
  const auto along = [&](Point from, float d) { return Point{from.x + d * axis.x, from.y + d * axis.y}; };

  const float e = expansion * dsy;
  const float ge = HandleDistance(e, s);
  float overshoot = ge != e ? std::fabs(e - ge) : 0.0f;
  h.pb = along(h.pa, ge);

  const float gf = HandleDistance(static_cast<float>(feather * 0.5 * dsy), s);
  const float lo = 12 * s;
  if (lo > gf - overshoot) overshoot -= lo - (gf - overshoot);
  float L = std::max(lo, gf - overshoot);
  if (expansion < 0) L = -L;
  h.pc = along(h.pb, L);
  h.pd = along(h.pb, L - 4 * s);
  h.overshoot = overshoot;
  return h;
}

}  // namespace mask_overlay
