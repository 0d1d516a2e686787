// A mask shape in layer pixels: placing it, its bounds and centre, moving vertices, and rotating
// and scaling it through 3x3 matrices applied in pixel space, so that a rotation stays a
// rotation on a non-square layer. Widths and heights are the layer's size in pixels.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "mask/mask_shape.h"

namespace Mask {

// Column order: (x, y) maps to (m0·x + m3·y + m6, m1·x + m4·y + m7); the third row is m2 m5 m8.
struct Matrix3 {
  double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
};

struct Bounds {
  float left, top, width, height;
};

struct PixelPoint {
  float x, y;
};

// Appends a copy of every vertex with its points in pixels (the list is not cleared).
void PlaceInPixels(const MaskShape& shape, float width, float height, std::vector<MaskVertex>& out);

// Over every anchor and the tangent points of curve vertices. No vertices: left = top = +inf,
// width = height = -inf.
Bounds ShapeBounds(const MaskShape& shape, bool scaled, float width, float height);
Bounds BoundsInPixels(const MaskShape& shape, float width, float height);
Bounds NormalisedBounds(const MaskShape& shape);
PixelPoint CentreInPixels(const MaskShape& shape, float width, float height);
NormPoint NormalisedCentre(const MaskShape& shape);

void MoveAll(MaskShape& shape, float dx, float dy);
void MoveAllByPixels(MaskShape& shape, float width, float height, float dx, float dy);
void MoveVertex(MaskShape& shape, size_t index, float dx, float dy);
void MoveVertexByPixels(MaskShape& shape, size_t index, float width, float height, float dx, float dy);
void MoveSelected(MaskShape& shape, const std::set<uint64_t>& selection, float width, float height, float dx, float dy);

// M := R·M, R the rotation about (cx, cy); a positive angle turns clockwise on screen (y down).
void RotateMatrix(Matrix3& m, double cx, double cy, double degrees);
// M := S·M, S the scaling about (cx, cy).
void ScaleMatrix(Matrix3& m, double sx, double sy, double cx, double cy);
PixelPoint MapPoint(PixelPoint p, const Matrix3& m);
void ApplyMatrixInPixels(MaskShape& shape, float width, float height, const Matrix3& m);
// About (width·fx, height·fy). An angle of 0, or factors (1, 1), leave the shape bit for bit.
void RotateShape(MaskShape& shape, float width, float height, float fx, float fy, double degrees);
void ScaleShape(MaskShape& shape, float width, float height, float fx, float fy, double sx, double sy);

// Tangent length of a quarter circle drawn as one cubic, as a fraction of the radius.
inline constexpr double kEllipseKappa = 0.5522847498308;
// Replaces the shape by the ellipse inscribed in the rectangle: mode 1, four curve vertices.
void MakeEllipse(MaskShape& shape, float left, float top, float right, float bottom);
void MakeEllipseFromPixels(MaskShape& shape, float width, float height, float x0, float y0, float x1, float y1);

// Moves the shape so its normalised minimum x and y are 0; returns the offsets it moved by
// (0, 0 for a shape without vertices, which has no minimum).
NormPoint MoveToOrigin(MaskShape& shape);

}  // namespace Mask
