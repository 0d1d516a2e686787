#include "mask/mask_geometry.h"

#include <cmath>
#include <limits>

namespace Mask {
namespace {

void MoveVertexPoints(MaskVertex& v, float dx, float dy) {
  v.anchor_x += dx;
  v.anchor_y += dy;
  v.in_x += dx;
  v.in_y += dy;
  v.out_x += dx;
  v.out_y += dy;
}

// M := A·M, column by column.
void Premultiply(Matrix3& m, const Matrix3& a) {
  Matrix3 r;
  for (int col = 0; col < 3; ++col)
    for (int row = 0; row < 3; ++row)
      r.m[col * 3 + row] = a.m[row] * m.m[col * 3] + a.m[3 + row] * m.m[col * 3 + 1] + a.m[6 + row] * m.m[col * 3 + 2];
  m = r;
}

// The matrix in 32-bit floats, as it is applied to points.
struct FloatMatrix {
  float a, b, c, d, e, f;  // x' = a·x + c·y + e, y' = b·x + d·y + f
  explicit FloatMatrix(const Matrix3& m)
      : a(float(m.m[0])), b(float(m.m[1])), c(float(m.m[3])), d(float(m.m[4])), e(float(m.m[6])), f(float(m.m[7])) {}
  void Map(float& x, float& y) const {
    const float nx = a * x + c * y + e;
    const float ny = b * x + d * y + f;
    x = nx;
    y = ny;
  }
};

}  // namespace

void PlaceInPixels(const MaskShape& shape, float width, float height, std::vector<MaskVertex>& out) {
  out.reserve(out.size() + shape.vertices.size());
  for (MaskVertex v : shape.vertices) {
    v.anchor_x *= width;
    v.in_x *= width;
    v.out_x *= width;
    v.anchor_y *= height;
    v.in_y *= height;
    v.out_y *= height;
    out.push_back(v);
  }
}

Bounds ShapeBounds(const MaskShape& shape, bool scaled, float width, float height) {
  const float sx = scaled ? width : 1.0f, sy = scaled ? height : 1.0f;
  float min_x = std::numeric_limits<float>::infinity(), min_y = min_x;
  float max_x = -min_x, max_y = -min_x;
  const auto take = [&](float x, float y) {
    x *= sx;
    y *= sy;
    min_x = std::fmin(min_x, x);
    max_x = std::fmax(max_x, x);
    min_y = std::fmin(min_y, y);
    max_y = std::fmax(max_y, y);
  };
  for (const MaskVertex& v : shape.vertices) {
    take(v.anchor_x, v.anchor_y);
    if (v.kind == kVertexCurve) {
      take(v.in_x, v.in_y);
      take(v.out_x, v.out_y);
    }
  }
  if (shape.vertices.empty())
    return {min_x, min_y, -std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
  return {min_x, min_y, max_x - min_x, max_y - min_y};
}

Bounds BoundsInPixels(const MaskShape& shape, float width, float height) {
  return ShapeBounds(shape, true, width, height);
}

Bounds NormalisedBounds(const MaskShape& shape) { return ShapeBounds(shape, false, 1, 1); }

PixelPoint CentreInPixels(const MaskShape& shape, float width, float height) {
  const Bounds b = BoundsInPixels(shape, width, height);
  return {b.left + b.width / 2, b.top + b.height / 2};
}

NormPoint NormalisedCentre(const MaskShape& shape) {
  const Bounds b = NormalisedBounds(shape);
  return {b.left + b.width / 2, b.top + b.height / 2};
}

void MoveAll(MaskShape& shape, float dx, float dy) {
  for (MaskVertex& v : shape.vertices) MoveVertexPoints(v, dx, dy);
}

void MoveAllByPixels(MaskShape& shape, float width, float height, float dx, float dy) {
  MoveAll(shape, dx / width, dy / height);
}

void MoveVertex(MaskShape& shape, size_t index, float dx, float dy) {
  if (index < shape.vertices.size()) MoveVertexPoints(shape.vertices[index], dx, dy);
}

void MoveVertexByPixels(MaskShape& shape, size_t index, float width, float height, float dx, float dy) {
  MoveVertex(shape, index, dx / width, dy / height);
}

void MoveSelected(MaskShape& shape, const std::set<uint64_t>& selection, float width, float height, float dx,
                  float dy) {
  for (uint64_t index : selection)
    if (index < shape.vertices.size()) MoveVertexPoints(shape.vertices[index], dx / width, dy / height);
}

void RotateMatrix(Matrix3& m, double cx, double cy, double degrees) {
  if (degrees == 0) return;
  const double t = degrees * 0.017453292519943295;
  const double c = std::cos(t), s = std::sin(t);
  Matrix3 r;
  r.m[0] = c;
  r.m[1] = s;
  r.m[3] = -s;
  r.m[4] = c;
  r.m[6] = cx * (1 - c) + cy * s;
  r.m[7] = cy * (1 - c) - cx * s;
  Premultiply(m, r);
}

void ScaleMatrix(Matrix3& m, double sx, double sy, double cx, double cy) {
  if (sx == 1 && sy == 1) return;
  Matrix3 s;
  s.m[0] = sx;
  s.m[4] = sy;
  s.m[6] = (1 - sx) * cx;
  s.m[7] = (1 - sy) * cy;
  Premultiply(m, s);
}

PixelPoint MapPoint(PixelPoint p, const Matrix3& m) {
  FloatMatrix(m).Map(p.x, p.y);
  return p;
}

void ApplyMatrixInPixels(MaskShape& shape, float width, float height, const Matrix3& m) {
  const FloatMatrix fm(m);
  const float inv_w = 1.0f / width, inv_h = 1.0f / height;
  const auto map = [&](float& x, float& y) {
    x *= width;
    y *= height;
    fm.Map(x, y);
    x *= inv_w;
    y *= inv_h;
  };
  for (MaskVertex& v : shape.vertices) {
    map(v.anchor_x, v.anchor_y);
    map(v.in_x, v.in_y);
    map(v.out_x, v.out_y);
  }
}

void RotateShape(MaskShape& shape, float width, float height, float fx, float fy, double degrees) {
  if (degrees == 0) return;  // the round trip through pixels would not be bit-exact
  Matrix3 m;
  RotateMatrix(m, double(width * fx), double(height * fy), degrees);
  ApplyMatrixInPixels(shape, width, height, m);
}

void ScaleShape(MaskShape& shape, float width, float height, float fx, float fy, double sx, double sy) {
  if (sx == 1 && sy == 1) return;
  Matrix3 m;
  ScaleMatrix(m, sx, sy, double(width * fx), double(height * fy));
  ApplyMatrixInPixels(shape, width, height, m);
}

void MakeEllipse(MaskShape& shape, float left, float top, float right, float bottom) {
  const float cx = left + (right - left) / 2;
  const float cy = top + (bottom - top) / 2;
  const float kx = static_cast<float>(double((right - left) / 2) * kEllipseKappa);
  const float ky = static_cast<float>(double((bottom - top) / 2) * kEllipseKappa);
  shape.mode = kMaskModeEllipse;
  shape.vertices = {
      {kVertexCurve, cx, top, cx - kx, top, cx + kx, top, 1},
      {kVertexCurve, right, cy, right, cy - ky, right, cy + ky, 1},
      {kVertexCurve, cx, bottom, cx + kx, bottom, cx - kx, bottom, 1},
      {kVertexCurve, left, cy, left, cy + ky, left, cy - ky, 1},
  };
}

void MakeEllipseFromPixels(MaskShape& shape, float width, float height, float x0, float y0, float x1, float y1) {
  MakeEllipse(shape, x0 / width, y0 / height, x1 / width, y1 / height);
}

NormPoint MoveToOrigin(MaskShape& shape) {
  const Bounds b = NormalisedBounds(shape);
  if (shape.vertices.empty()) return {0, 0};
  MoveAll(shape, -b.left, -b.top);
  return {-b.left, -b.top};
}

}  // namespace Mask
