// Masks of tens of thousands of vertices, grown and shrunk: they render (and give the overlay its
// outlines) in about the time a simple mask does, and one too intricate to grow fails the render
// with a message instead of freezing it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"
#include "render/mask_outline.h"
#include "render/rasterize_mask.h"
#include "tests/render/running_components.h"

namespace mask_render {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSize = 1000;  // square layer, pixels

class DenseMaskTest : public RunningComponentsTest {
 protected:
  static std::vector<uint8_t> Render(const Mask::MaskShape& shape, float expansion) {
    std::vector<uint8_t> matte(size_t(kSize) * kSize, 0xAB);
    RasterizeMask(matte.data(), kSize, shape, kSize, kSize, kSize, kSize, 1, 1, 1, false, 1, expansion, 1.0f);
    return matte;
  }
};

// n corners around the layer's centre alternating between two radii (fractions of the layer),
// winding `turns` times round it.
Mask::MaskShape Zigzag(int n, float inner, float outer, int turns = 1) {
  Mask::MaskShape s;
  for (int i = 0; i < n; ++i) {
    const double a = 2 * kPi * turns * i / n, r = i % 2 ? inner : outer;
    Mask::AppendCornerVertex(s, float(0.5 + r * std::cos(a)), float(0.5 + r * std::sin(a)));
  }
  return s;
}

uint8_t At(const std::vector<uint8_t>& matte, double radius) {
  return matte[size_t(kSize / 2) * kSize + size_t(kSize / 2 + radius)];
}

// 10,000 corners 0.4 pixels apart with 6-pixel teeth: every round join overlaps hundreds of others.
TEST_F(DenseMaskTest, TenThousandVerticesRenderGrownAndShrunk) {
  const Mask::MaskShape shape = Zigzag(10000, 0.197f, 0.203f);
  struct Case {
    float expansion;
    double inside, outside;  // radii, pixels right of the centre
  };
  for (const Case& c : {Case{200, 401.5, 404.5}, Case{-30, 165.5, 168.5}, Case{0, 195.5, 204.5}}) {
    SCOPED_TRACE(c.expansion);
    const std::vector<uint8_t> matte = Render(shape, c.expansion);
    EXPECT_EQ(At(matte, 0), 255);
    EXPECT_EQ(At(matte, c.inside), 255);
    EXPECT_EQ(At(matte, c.outside), 0);
  }
}

// The overlay draws the expansion outline and the two feather outlines through OffsetMaskPath.
TEST_F(DenseMaskTest, TenThousandVerticesGiveTheOverlayItsOutlines) {
  std::vector<Mask::MaskVertex> placed;
  Mask::PlaceInPixels(Zigzag(10000, 0.197f, 0.203f), kSize, kSize, placed);
  for (const double offset : {300.0, 350.0, 250.0, -30.0}) {
    SCOPED_TRACE(offset);
    OutlineRecorder recorder;
    BuildMaskOutline(recorder, placed);
    ComponentRef path = NewPathFromRecorder(recorder);
    OffsetMaskPath(path, offset, 1, 1, 1);
    int32_t count = 0;
    const void* points = nullptr;
    const void* codes = nullptr;
    CheckComponent(Paths().get_path_data(path.get(), &count, &points, &codes, nullptr), "GetPathData");
    ASSERT_GT(count, 3);
    // Every point of the outline lies at the grown or shrunk radius, within a pixel.
    double lo = 1e9, hi = 0;
    for (int32_t i = 0; i < count; ++i) {
      const quill::PathPoint p = static_cast<const quill::PathPoint*>(points)[i];
      const double r = std::hypot(p.x - kSize / 2.0, p.y - kSize / 2.0);
      lo = std::min(lo, r), hi = std::max(hi, r);
    }
    const double expected = (offset > 0 ? 203 : 197) + offset;
    EXPECT_GT(lo, expected - 1);
    EXPECT_LT(hi, expected + 1);
  }
}

// A star of 100,000 spikes winding round the centre: tens of thousands of edges across every
// row. Unchanged it still renders; grown, it is refused at once with a message for the user.
TEST_F(DenseMaskTest, TooIntricateToGrowFailsWithAMessage) {
  const Mask::MaskShape star = Zigzag(100000, 0.1f, 0.45f);
  EXPECT_EQ(At(Render(star, 0), 0), 255);
  for (const float expansion : {10.0f, -10.0f}) {
    try {
      Render(star, expansion);
      ADD_FAILURE() << "rendered " << expansion;
    } catch (const QIB_T_MT::CQIBError& e) {
      EXPECT_EQ(std::string(e.what()), kTooIntricateToOffsetText);
    }
  }
}

}  // namespace
}  // namespace mask_render
