#include "mask/mask_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace Mask {
namespace {

MaskShape Rect(float l, float t, float r, float b) {
  MaskShape s;
  AppendCornerVertex(s, l, t);
  AppendCornerVertex(s, r, t);
  AppendCornerVertex(s, r, b);
  AppendCornerVertex(s, l, b);
  return s;
}

TEST(MaskGeometry, PlacementAndBounds) {
  MaskShape s;
  AppendCornerVertex(s, 0.5f, 0.25f);
  std::vector<MaskVertex> placed = {MaskVertex{}};
  PlaceInPixels(s, 1920, 1080, placed);
  ASSERT_EQ(placed.size(), 2u);  // appended, not cleared
  EXPECT_EQ(placed[1].anchor_x, 960.0f);
  EXPECT_EQ(placed[1].anchor_y, 270.0f);

  // A curve's tangent counts for the bounds; the same tangent on a corner does not.
  MaskShape curve;
  AppendCurveVertex(curve, {0.5f, 0.5f}, {0.1f, 0.5f}, {0.9f, 0.5f});
  AppendCornerVertex(curve, 0.5f, 0.6f);
  EXPECT_FLOAT_EQ(NormalisedBounds(curve).left, 0.1f);
  EXPECT_FLOAT_EQ(NormalisedBounds(curve).width, 0.8f);
  curve.vertices[0].kind = kVertexCorner;
  EXPECT_FLOAT_EQ(NormalisedBounds(curve).left, 0.5f);

  const Bounds none = NormalisedBounds(MaskShape{});
  EXPECT_TRUE(std::isinf(none.left) && none.left > 0);
  EXPECT_TRUE(std::isinf(none.width) && none.width < 0);
  const PixelPoint c = CentreInPixels(Rect(0.25f, 0.25f, 0.75f, 0.5f), 200, 100);
  EXPECT_FLOAT_EQ(c.x, 100);
  EXPECT_FLOAT_EQ(c.y, 37.5f);
}

TEST(MaskGeometry, RotationInPixelsKeepsProportionsOnNonSquareLayers) {
  MaskShape s = Rect(0.45f, 0.45f, 0.55f, 0.55f);  // 20 x 10 pixels on 200 x 100
  RotateShape(s, 200, 100, 0.5f, 0.5f, 90);
  const Bounds b = BoundsInPixels(s, 200, 100);
  EXPECT_NEAR(b.width, 10, 1e-3);
  EXPECT_NEAR(b.height, 20, 1e-3);
  // Positive angles turn clockwise on screen (y down): the top-left corner goes top-right.
  EXPECT_NEAR(s.vertices[0].anchor_x * 200, 105, 1e-3);
  EXPECT_NEAR(s.vertices[0].anchor_y * 100, 40, 1e-3);
}

TEST(MaskGeometry, IdentityTransformsLeaveBitsUnchanged) {
  MaskShape s = Rect(0.1234567f, 0.7654321f, 0.3333333f, 0.9f);
  const MaskShape before = s;
  RotateShape(s, 1919, 1077, 0.3f, 0.7f, 0.0);
  ScaleShape(s, 1919, 1077, 0.3f, 0.7f, 1.0, 1.0);
  EXPECT_EQ(0, std::memcmp(s.vertices.data(), before.vertices.data(), 4 * sizeof(MaskVertex)));
}

TEST(MaskGeometry, MatricesComposeAndScaleAboutACentre) {
  Matrix3 m;
  ScaleMatrix(m, 2, 3, 10, 10);
  RotateMatrix(m, 0, 0, 90);
  const PixelPoint p = MapPoint({11, 10}, m);  // scaled to (12, 10), then turned to (-10, 12)
  EXPECT_NEAR(p.x, -10, 1e-4);
  EXPECT_NEAR(p.y, 12, 1e-4);
}

TEST(MaskGeometry, EllipseFromARectangle) {
  MaskShape s;
  MakeEllipse(s, 0.25f, 0.25f, 0.75f, 0.75f);
  ASSERT_EQ(s.vertices.size(), 4u);
  EXPECT_EQ(s.mode, kMaskModeEllipse);
  const MaskVertex& top = s.vertices[0];
  EXPECT_EQ(top.kind, kVertexCurve);
  EXPECT_FLOAT_EQ(top.anchor_x, 0.5f);
  EXPECT_FLOAT_EQ(top.anchor_y, 0.25f);
  EXPECT_FLOAT_EQ(top.in_x, float(0.5 - 0.25 * 0.5522847498308));
  EXPECT_FLOAT_EQ(top.out_x, float(0.5 + 0.25 * 0.5522847498308));
  EXPECT_FLOAT_EQ(s.vertices[1].anchor_x, 0.75f);  // right, then bottom, then left
  EXPECT_FLOAT_EQ(s.vertices[2].anchor_y, 0.75f);
  EXPECT_FLOAT_EQ(s.vertices[3].anchor_x, 0.25f);
}

TEST(MaskGeometry, MovingVertices) {
  MaskShape s = Rect(0.1f, 0.1f, 0.2f, 0.2f);
  MoveSelected(s, {1, 9}, 100, 100, 10, 0);  // 9 names no vertex
  EXPECT_FLOAT_EQ(s.vertices[1].anchor_x, 0.3f);
  EXPECT_FLOAT_EQ(s.vertices[0].anchor_x, 0.1f);
  MoveVertex(s, 7, 1, 1);
  const NormPoint moved = MoveToOrigin(s);
  EXPECT_FLOAT_EQ(moved.x, -0.1f);
  EXPECT_FLOAT_EQ(s.vertices[0].anchor_x, 0.0f);
  MaskShape empty;
  EXPECT_EQ(MoveToOrigin(empty).x, 0.0f);
}

}  // namespace
}  // namespace Mask
