#include "render/rasterize_mask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "mask/mask_geometry.h"
#include "tests/render/running_components.h"

namespace mask_render {
namespace {

using Mask::MaskShape;

class RasterizeTest : public RunningComponentsTest {
 protected:
  struct Options {
    bool inverted = false;
    float opacity = 1, expansion = 0;
    int32_t W = 100, H = 100, Wf = 100, Hf = 100;
    float dsx = 1, dsy = 1, par = 1;
  };
  std::vector<uint8_t> Render(const MaskShape& shape, const Options& o) {
    std::vector<uint8_t> matte(size_t(o.W) * o.H, 0xAB);
    RasterizeMask(matte.data(), o.W, shape, o.W, o.H, o.Wf, o.Hf, o.dsx, o.dsy, o.par, o.inverted, o.opacity,
                  o.expansion, 1.0f);
    return matte;
  }
  std::vector<uint8_t> Render(const MaskShape& shape) { return Render(shape, Options{}); }
  // Covered area in pixels.
  static double Area(const std::vector<uint8_t>& matte) {
    return std::accumulate(matte.begin(), matte.end(), 0.0) / 255.0;
  }
};

MaskShape Rect(float l, float t, float r, float b) {
  MaskShape s;
  Mask::AppendCornerVertex(s, l, t);
  Mask::AppendCornerVertex(s, r, t);
  Mask::AppendCornerVertex(s, r, b);
  Mask::AppendCornerVertex(s, l, b);
  return s;
}

TEST_F(RasterizeTest, OpenShapeMasksNothingWhateverTheSettings) {
  MaskShape open;
  open.mode = Mask::kMaskModeOpen;
  Options o;
  o.inverted = true;
  o.opacity = 0;
  for (uint8_t v : Render(open, o)) ASSERT_EQ(v, 255);
}

TEST_F(RasterizeTest, EmptyAndSubPixelShapesFillWithTheEmptyValue) {
  Options inv;
  inv.inverted = true;
  inv.opacity = 0.5f;
  for (const MaskShape& s : {MaskShape{}, Rect(0.1f, 0.1f, 0.105f, 0.5f)}) {
    for (uint8_t v : Render(s)) ASSERT_EQ(v, 0);
    for (uint8_t v : Render(s, inv)) ASSERT_EQ(v, 127);
  }
}

TEST_F(RasterizeTest, RectangleCoverageIsExactWithOpacityAndInversion) {
  const MaskShape square = Rect(0.255f, 0.255f, 0.755f, 0.755f);  // 50 x 50 pixels at 25.5
  const auto m = Render(square);
  EXPECT_NEAR(Area(m), 2500, 0.5);
  EXPECT_EQ(m[50 * 100 + 50], 255);
  EXPECT_NEAR(m[50 * 100 + 25], 128, 1);  // half of the edge pixel
  EXPECT_EQ(m[10 * 100 + 10], 0);

  Options half;
  half.opacity = 0.5f;
  const auto h = Render(square, half);
  EXPECT_EQ(h[50 * 100 + 50], 127);  // 0.5 * 255 truncated
  half.inverted = true;
  const auto hi = Render(square, half);
  EXPECT_EQ(hi[10 * 100 + 10], 127);
  EXPECT_EQ(hi[50 * 100 + 50], 0);
  Options inv;
  inv.inverted = true;
  const auto i = Render(square, inv);
  for (size_t k = 0; k < m.size(); ++k) ASSERT_EQ(i[k], 255 - m[k]) << k;
}

TEST_F(RasterizeTest, EllipseAndHoleAreas) {
  MaskShape circle;
  Mask::MakeEllipse(circle, 0.1f, 0.1f, 0.9f, 0.9f);  // radius 40 px
  EXPECT_NEAR(Area(Render(circle)), M_PI * 40 * 40, M_PI * 40 * 40 * 1e-3);

  // A square with a square hole, the hole wound the other way after a separator.
  MaskShape holed = Rect(0.1f, 0.1f, 0.9f, 0.9f);
  holed.vertices.push_back({Mask::kVertexSeparator, 0, 0, 0, 0, 0, 0, 1});
  for (auto [x, y] : {std::pair{0.3f, 0.3f}, {0.3f, 0.7f}, {0.7f, 0.7f}, {0.7f, 0.3f}})
    Mask::AppendCornerVertex(holed, x, y);
  EXPECT_NEAR(Area(Render(holed)), 80 * 80 - 40 * 40, 1);
}

TEST_F(RasterizeTest, MaskIsCentredInALargerBuffer) {
  const MaskShape square = Rect(0.25f, 0.25f, 0.75f, 0.75f);
  Options o;
  o.W = 120;  // Wf * dsx + 20
  const auto m = Render(square, o);
  EXPECT_EQ(m[50 * 120 + 34], 0);
  EXPECT_EQ(m[50 * 120 + 35], 255);
  EXPECT_EQ(m[50 * 120 + 84], 255);
  EXPECT_EQ(m[50 * 120 + 85], 0);
}

TEST_F(RasterizeTest, ExpansionGrowsShrinksAndCollapses) {
  const MaskShape square = Rect(0.3f, 0.3f, 0.7f, 0.7f);  // side 40
  struct Case {
    float d;
    double area;
  };
  const double pi = M_PI;
  for (const Case& c :
       {Case{5, 50.0 * 50 - (4 - pi) * 25}, Case{-5, 30.0 * 30}, Case{-25, 0}, Case{25, 90.0 * 90 - (4 - pi) * 625}}) {
    Options o;
    o.expansion = c.d;
    EXPECT_NEAR(Area(Render(square, o)), c.area, std::max(2.0, c.area * 2e-3)) << "expansion " << c.d;
  }
  // Growth past the frame is clipped, not wrapped.
  Options huge;
  huge.expansion = 1000;
  for (uint8_t v : Render(square, huge)) ASSERT_EQ(v, 255);
}

// A damaged file must neither crash nor hang the renderer, and must give a defined matte.
TEST_F(RasterizeTest, DamagedShapesRenderAsEmpty) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<MaskShape> damaged;
  for (float bad : {nan, inf, -inf, 1e30f}) {
    MaskShape s = Rect(0.2f, 0.2f, 0.8f, 0.8f);
    s.vertices[2].anchor_x = bad;
    damaged.push_back(s);
    s = Rect(0.2f, 0.2f, 0.8f, 0.8f);
    s.vertices[1].kind = Mask::kVertexCurve;
    s.vertices[1].out_y = bad;
    damaged.push_back(s);
  }
  for (const MaskShape& s : damaged) {
    const auto m = Render(s);
    for (uint8_t v : m) ASSERT_TRUE(v == 0 || v == 255 || v < 255);  // written, no crash
    EXPECT_NE(m[0], 0xAB);
  }
  Options o;
  o.expansion = std::numeric_limits<float>::infinity();
  EXPECT_EQ(Area(Render(Rect(0.2f, 0.2f, 0.8f, 0.8f), o)), 0);

  // A vertex thousands of frames away still scan-converts, but is beyond what the outline can
  // be grown or shrunk by: grown, it masks like an empty shape instead of failing the render
  // (found by fuzzing). The outline is grown in square pixels at x's resolution, so y downsampled
  // more than x reaches farther, and so does x stretched by the pixel aspect.
  MaskShape far = Rect(0.2f, 0.2f, 0.8f, 0.8f);
  far.vertices[2].anchor_x = 3000;  // 300,000 px on a 100 px layer
  EXPECT_GT(Area(Render(far)), 0);
  o.expansion = 2;
  EXPECT_EQ(Area(Render(far, o)), 0);
  Options quarter = o;
  quarter.W = quarter.H = 25, quarter.dsx = 0.25f, quarter.dsy = 0.5f;
  far.vertices[2].anchor_x = 0.8f, far.vertices[2].anchor_y = 3000;  // 150,000 px here, 300,000 at x's scale
  EXPECT_EQ(Area(Render(far, quarter)), 0);
  Options wide = o;
  wide.par = 3;
  far.vertices[2].anchor_x = 1000, far.vertices[2].anchor_y = 0.8f;  // 100,000 px, 300,000 square pixels
  EXPECT_EQ(Area(Render(far, wide)), 0);
}

TEST_F(RasterizeTest, FewVerticesAndStraySeparatorsDoNotFail) {
  MaskShape line;
  Mask::AppendCornerVertex(line, 0.1f, 0.1f);
  Mask::AppendCornerVertex(line, 0.9f, 0.9f);
  EXPECT_EQ(Area(Render(line)), 0);
  MaskShape stray = Rect(0.2f, 0.2f, 0.8f, 0.8f);
  stray.vertices.insert(stray.vertices.begin(), {Mask::kVertexSeparator, 0.5f, 0.5f, 0, 0, 0, 0, 1});
  stray.vertices.push_back({Mask::kVertexSeparator, 0, 0, 0, 0, 0, 0, 1});
  const auto m = Render(stray);
  EXPECT_NE(m[0], 0xAB);
}

TEST(FillCoverageRun, TableOfKindsInversionAndOpacity) {
  const uint8_t painter[4] = {0, 100, 200, 255};
  struct Case {
    int32_t kind;
    bool inverted;
    float opacity;
    uint8_t expected[4];
  };
  const Case cases[] = {
      {0, false, 1.0f, {0, 0, 0, 0}},         {0, true, 1.0f, {255, 255, 255, 255}},
      {0, true, 0.5f, {127, 127, 127, 127}},  {1, false, 1.0f, {255, 255, 255, 255}},
      {1, false, 0.5f, {127, 127, 127, 127}}, {1, true, 0.5f, {0, 0, 0, 0}},
      {2, false, 1.0f, {0, 100, 200, 255}},   {2, true, 1.0f, {255, 155, 55, 0}},
      {2, false, 0.5f, {0, 49, 99, 127}},     {2, true, 0.5f, {127, 78, 28, 0}},
  };
  for (const Case& c : cases) {
    uint8_t row[4] = {9, 9, 9, 9};
    FillCoverageRun(c.kind, 0, 4, row, painter, c.inverted, c.opacity);
    for (int x = 0; x < 4; ++x)
      EXPECT_EQ(row[x], c.expected[x]) << "kind " << c.kind << " inv " << c.inverted << " op " << c.opacity << " x "
                                       << x;
  }
  uint8_t row[4] = {9, 9, 9, 9};
  FillCoverageRun(7, 0, 4, row, painter, false, 1.0f);  // unknown kinds write nothing
  EXPECT_EQ(row[0], 9);
}

// A shape read from the old byte form covers what its stored vertices drew: corners there kept
// their tangents, and a corner's outgoing tangent bends the edge to a curve vertex.
TEST_F(RasterizeTest, OldFormShapesCoverWhatTheirStoredVerticesDrew) {
  MaskShape stored;
  const auto add = [&](uint32_t kind, float ax, float ay, float ix, float iy, float ox, float oy) {
    stored.vertices.push_back({kind, ax, ay, ix, iy, ox, oy, 1});
  };
  add(Mask::kVertexCorner, 0.2f, 0.2f, 0.1f, 0.1f, 0.5f, 0.05f);
  add(Mask::kVertexCurve, 0.8f, 0.3f, 0.7f, 0.1f, 0.9f, 0.5f);
  add(Mask::kVertexCorner, 0.7f, 0.8f, 0.9f, 0.9f, 0.4f, 0.95f);
  add(Mask::kVertexCorner, 0.2f, 0.7f, 0.1f, 0.8f, 0.05f, 0.5f);
  std::vector<uint8_t> old_form(12);
  const uint32_t header[3] = {Mask::kMaskShapeOldTag, Mask::kMaskModeClosed, 4};
  std::memcpy(old_form.data(), header, 12);
  for (const Mask::MaskVertex& v : stored.vertices) {
    const size_t at = old_form.size();
    old_form.resize(at + 28);
    std::memcpy(old_form.data() + at, &v, 28);
  }
  MaskShape read;
  ASSERT_TRUE(Mask::UnflattenMaskShape(old_form.data(), old_form.size(), read));
  const std::vector<uint8_t> drawn = Render(stored), now = Render(read);
  int worst = 0;
  for (size_t i = 0; i < drawn.size(); ++i) worst = std::max(worst, std::abs(int(drawn[i]) - int(now[i])));
  EXPECT_LE(worst, 1);
  // The bent edge is there: a straight edge from the first corner would cover less.
  MaskShape snapped = stored;
  snapped.vertices[0].out_x = snapped.vertices[0].anchor_x, snapped.vertices[0].out_y = snapped.vertices[0].anchor_y;
  EXPECT_GT(std::abs(Area(Render(snapped)) - Area(now)), 20.0);
}

}  // namespace
}  // namespace mask_render
