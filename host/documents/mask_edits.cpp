#include "host/documents/mask_edits.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace host {
namespace {

using Mask::MaskShape;
using Mask::MaskVertex;

// Outlines hold at least this many vertices: fewer enclose nothing.
constexpr size_t kMinClosedVertices = 3;
// The mask document refuses coordinates past this, so an edit must not make one.
constexpr float kCoordinateLimit = 1e6f;

bool KnownMode(const MaskShape& shape) { return shape.mode <= Mask::kMaskModeOpen; }

bool Closes(const MaskShape& shape) { return shape.mode != Mask::kMaskModeOpen; }

bool IsSeparator(const MaskVertex& v) { return v.kind == Mask::kVertexSeparator; }

bool IsCurve(const MaskVertex& v) { return v.kind == Mask::kVertexCurve; }

// Vertices that are not separators, counted from `from` while stepping by `step` (+1 or -1).
size_t RunFrom(const std::vector<MaskVertex>& v, ptrdiff_t from, ptrdiff_t step) {
  size_t count = 0;
  for (ptrdiff_t i = from; i >= 0 && i < ptrdiff_t(v.size()) && !IsSeparator(v[size_t(i)]); i += step) ++count;
  return count;
}

// The first vertex of the sub-outline holding vertex i: where its closing segment returns.
size_t SubOutlineStart(const std::vector<MaskVertex>& v, size_t i) { return i + 1 - RunFrom(v, ptrdiff_t(i), -1); }

struct Point {
  double x, y;
};

Point Lerp(Point a, Point b, double t) { return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}; }

bool Finite(Point p) { return std::isfinite(float(p.x)) && std::isfinite(float(p.y)); }

}  // namespace

bool InsertVertex(MaskShape& shape, int32_t segment, float t) {
  std::vector<MaskVertex>& v = shape.vertices;
  if (!KnownMode(shape) || segment < 0 || size_t(segment) >= v.size() || !(t > 0 && t < 1)) return false;
  const size_t i = size_t(segment);
  const bool last = i + 1 == v.size();
  if ((last && !Closes(shape)) || v[i].kind > Mask::kVertexCurve) return false;  // separators too
  const size_t next = last ? SubOutlineStart(v, i) : i + 1;
  v.reserve(v.size() + 1);  // the one step that can fail, taken before anything changes
  MaskVertex& from = v[i];
  MaskVertex& to = v[next];
  if (next == i || to.kind > Mask::kVertexCurve) return false;

  // The cubic the outline draws for this segment; a corner contributes its anchor as control.
  const Point p0{from.anchor_x, from.anchor_y};
  const Point p1 = IsCurve(from) ? Point{from.out_x, from.out_y} : p0;
  const Point p3{to.anchor_x, to.anchor_y};
  const Point p2 = IsCurve(to) ? Point{to.in_x, to.in_y} : p3;

  MaskVertex added;
  Point a{}, c{};
  if (!IsCurve(from) && !IsCurve(to)) {
    const Point m = Lerp(p0, p3, t);
    if (!Finite(m)) return false;
    added = MaskVertex{Mask::kVertexCorner, float(m.x), float(m.y), float(m.x), float(m.y), float(m.x), float(m.y), 1};
  } else {
    a = Lerp(p0, p1, t);
    const Point b = Lerp(p1, p2, t);
    c = Lerp(p2, p3, t);
    const Point d = Lerp(a, b, t), e = Lerp(b, c, t);
    const Point m = Lerp(d, e, t);
    if (!Finite(a) || !Finite(c) || !Finite(d) || !Finite(e) || !Finite(m)) return false;
    added = MaskVertex{Mask::kVertexCurve, float(m.x), float(m.y), float(d.x), float(d.y), float(e.x), float(e.y), 1};
  }

  // A corner keeps its tangents on its anchor: its outer control is the anchor already.
  if (IsCurve(from)) {
    from.out_x = float(a.x);
    from.out_y = float(a.y);
  }
  if (IsCurve(to)) {
    to.in_x = float(c.x);
    to.in_y = float(c.y);
  }
  v.insert(v.begin() + ptrdiff_t(i) + 1, added);
  if (shape.mode == Mask::kMaskModeEllipse) shape.mode = Mask::kMaskModeClosed;
  return true;
}

bool DeleteVertex(MaskShape& shape, int32_t index) {
  std::vector<MaskVertex>& v = shape.vertices;
  if (!KnownMode(shape) || index < 0 || size_t(index) >= v.size()) return false;
  if (Closes(shape)) {
    const ptrdiff_t i = index;
    // Removing a separator joins the sub-outlines either side of it into one.
    const size_t left = IsSeparator(v[size_t(i)]) ? RunFrom(v, i - 1, -1) + RunFrom(v, i + 1, +1)
                                                  : RunFrom(v, i, -1) + RunFrom(v, i, +1) - 2;
    if (left < kMinClosedVertices) return false;
  }
  v.erase(v.begin() + index);
  if (shape.mode == Mask::kMaskModeEllipse) shape.mode = Mask::kMaskModeClosed;
  return true;
}

bool AppendVertex(MaskShape& shape, float x, float y) {
  if (shape.mode != Mask::kMaskModeOpen) return false;
  if (!(std::fabs(x) <= kCoordinateLimit && std::fabs(y) <= kCoordinateLimit)) return false;  // NaN too
  Mask::AppendCornerVertex(shape, x, y);
  return true;
}

bool CloseShape(MaskShape& shape) {
  const std::vector<MaskVertex>& v = shape.vertices;
  if (shape.mode != Mask::kMaskModeOpen || RunFrom(v, ptrdiff_t(v.size()) - 1, -1) < kMinClosedVertices) return false;
  shape.mode = Mask::kMaskModeClosed;
  return true;
}

bool ToggleVertexKind(MaskShape& shape, int32_t index) {
  std::vector<MaskVertex>& v = shape.vertices;
  if (!KnownMode(shape) || shape.mode == Mask::kMaskModeEllipse || index < 0 || size_t(index) >= v.size() ||
      IsSeparator(v[size_t(index)]))
    return false;
  const size_t i = size_t(index);
  if (IsCurve(v[i])) {
    Mask::SetVertexKind(shape, i, Mask::kVertexCorner);
    return true;
  }
  const size_t first = SubOutlineStart(v, i), count = RunFrom(v, ptrdiff_t(first), +1), at = i - first;
  if (count < 2) return false;  // a lone vertex has no direction to curve along
  const bool wraps = Closes(shape);
  const size_t before = at > 0 ? at - 1 : wraps ? count - 1 : at;
  const size_t after = at + 1 < count ? at + 1 : wraps ? 0 : at;
  const MaskVertex &p = v[first + before], &n = v[first + after];
  const float dx = (n.anchor_x - p.anchor_x) / 6, dy = (n.anchor_y - p.anchor_y) / 6;
  MaskVertex& c = v[i];
  c.kind = Mask::kVertexCurve;
  c.in_x = c.anchor_x - dx, c.in_y = c.anchor_y - dy;
  c.out_x = c.anchor_x + dx, c.out_y = c.anchor_y + dy;
  Mask::SetVertexLinked(shape, i);
  return true;
}

bool ConvertEllipseVertex(MaskShape& shape, int32_t index) {
  if (shape.mode != Mask::kMaskModeEllipse || index < 0 || size_t(index) >= shape.vertices.size() ||
      IsSeparator(shape.vertices[size_t(index)]))
    return false;
  shape.mode = Mask::kMaskModeClosed;
  Mask::SetVertexKind(shape, size_t(index), Mask::kVertexCorner);
  return true;
}

}  // namespace host
