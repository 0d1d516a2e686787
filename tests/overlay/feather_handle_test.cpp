#include "overlay/feather_handle.h"

#include <gtest/gtest.h>

#include <cmath>

namespace mask_overlay {
namespace {

std::vector<Mask::MaskVertex> Square() {
  Mask::MaskShape s;
  Mask::AppendCornerVertex(s, 20, 20);
  Mask::AppendCornerVertex(s, 80, 20);
  Mask::AppendCornerVertex(s, 80, 80);
  Mask::AppendCornerVertex(s, 20, 80);
  return s.vertices;
}

TEST(FeatherHandle, DistanceCurveAndItsInverse) {
  EXPECT_FLOAT_EQ(HandleDistance(0, 1), 12);
  EXPECT_FLOAT_EQ(HandleDistance(100, 1), 100);
  EXPECT_FLOAT_EQ(HandleDistance(150, 1), 150);
  EXPECT_FLOAT_EQ(HandleDistance(-25, 2), -24 - 176 * std::sqrt(0.125f));
  for (float a : {0.0f, 3.0f, 40.0f, 99.0f, 180.0f}) EXPECT_NEAR(HandleValue(HandleDistance(a, 1), 1), a, 1e-3) << a;
  EXPECT_EQ(HandleValue(11.9f, 1), 0);
}

// Worked by hand: the top edge at its middle, normal up, s = 1, k = 1.
TEST(FeatherHandle, ZeroValuesStandTwelvePixelsOut) {
  const FeatherHandle h = ComputeFeatherHandle(Square(), 0, 0.5f, 0, 0, 1, 1, 1, 1);
  EXPECT_FLOAT_EQ(h.pa.x, 50);
  EXPECT_FLOAT_EQ(h.pa.y, 20);
  EXPECT_FLOAT_EQ(h.pb.y, 8);   // g(0) = 12 out
  EXPECT_FLOAT_EQ(h.pc.y, -4);  // 12 beyond Pb
  EXPECT_FLOAT_EQ(h.pd.y, 0);   // 4 short of Pc
}

// Expansion -20: e = -20, g(e) = -12 - 88 sqrt(0.2) = -51.355 (Pb inside), overshoot 31.355;
// feather 10: g(5) = 31.677; 12 > 31.677 - 31.355 so overshoot shrinks to 19.677 and L = -12.
TEST(FeatherHandle, NegativeExpansionTurnsTheWidgetInward) {
  const FeatherHandle h = ComputeFeatherHandle(Square(), 0, 0.5f, -20, 10, 1, 1, 1, 1);
  const float ge = -12 - 88 * std::sqrt(0.2f);
  EXPECT_NEAR(h.pb.y, 20 - ge, 1e-3);  // the normal is up (−y); a negative distance goes down
  EXPECT_NEAR(h.pc.y, h.pb.y + 12, 1e-3);
  EXPECT_NEAR(h.overshoot, std::fabs(-20 - ge) - (12 - (12 + 88 * std::sqrt(0.05f) - std::fabs(-20 - ge))), 1e-3);
}

TEST(FeatherHandle, PixelAspectStretchesTheAxisAndBadIndicesWrap) {
  const FeatherHandle wide = ComputeFeatherHandle(Square(), 1, 0.5f, 0, 0, 1, 1, 0.5f, 1);  // right edge
  EXPECT_FLOAT_EQ(wide.pa.x, 80);
  EXPECT_FLOAT_EQ(wide.pb.x, 80 + 12 * 2);  // k = 1 / 0.5
  const FeatherHandle wrapped = ComputeFeatherHandle(Square(), 4 + 1, 0.5f, 0, 0, 1, 1, 1, 1);
  EXPECT_FLOAT_EQ(wrapped.pa.x, 80);
  const FeatherHandle clamped = ComputeFeatherHandle(Square(), 0, std::nanf(""), 0, 0, 1, 1, 1, 1);
  EXPECT_FLOAT_EQ(clamped.pa.x, 20);
}

}  // namespace
}  // namespace mask_overlay
