#include "platform/graphics/alpha_blend.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quill {
namespace {

double Exact(double a, double m, AlphaBlend blend) {
  switch (blend) {
    case AlphaBlend::kReplace: return m;
    case AlphaBlend::kAdd: return a + m * (1 - a);
    case AlphaBlend::kSubtract: return a * (1 - m);
    case AlphaBlend::kIntersect: return a * m;
    case AlphaBlend::kDifference: return std::fabs(a - m);
    case AlphaBlend::kLighten: return std::max(a, m);
    case AlphaBlend::kDarken: return std::min(a, m);
  }
  return m;
}

// Every pair of byte levels, every mode: the nearest level to the exact join (0.5 away at
// most), so full coverage and none behave exactly (adding nothing keeps a, intersecting with
// full coverage keeps a).
TEST(AlphaBlend, BytesAreTheNearestLevelToTheExactJoin) {
  for (int32_t mode = 0; mode < kAlphaBlendCount; ++mode) {
    const auto blend = static_cast<AlphaBlend>(mode);
    for (int a = 0; a < 256; ++a)
      for (int m = 0; m < 256; ++m) {
        const double want = 255 * Exact(a / 255.0, m / 255.0, blend);
        ASSERT_LE(std::fabs(BlendAlpha(uint8_t(a), uint8_t(m), blend) - want), 0.5 + 1e-9)
            << "mode " << mode << " a " << a << " m " << m;
      }
  }
  EXPECT_EQ(BlendAlpha(uint8_t(200), uint8_t(0), AlphaBlend::kAdd), 200);
  EXPECT_EQ(BlendAlpha(uint8_t(200), uint8_t(255), AlphaBlend::kIntersect), 200);
  EXPECT_EQ(BlendAlpha(uint8_t(200), uint8_t(255), AlphaBlend::kSubtract), 0);
}

// Floats follow the formulas as written, also for alpha beyond 0..1 that float frames can hold.
TEST(AlphaBlend, FloatsFollowTheFormulas) {
  for (int32_t mode = 0; mode < kAlphaBlendCount; ++mode) {
    const auto blend = static_cast<AlphaBlend>(mode);
    for (const float a : {0.0f, 0.25f, 0.7f, 1.0f, 1.5f})
      for (const float m : {0.0f, 0.5f, 0.999f, 1.0f})
        EXPECT_NEAR(BlendAlpha(a, m, blend), Exact(a, m, blend), 1e-6) << "mode " << mode << " a " << a << " m " << m;
  }
}

// Stored values: whole modes truncate, anything else is replace.
TEST(AlphaBlend, StoredValuesOutsideTheModesReplace) {
  EXPECT_EQ(AlphaBlendFromValue(2.9), AlphaBlend::kSubtract);
  EXPECT_EQ(AlphaBlendFromValue(6), AlphaBlend::kDarken);
  for (const double v : {-0.5, 7.0, 1e300, std::nan("")}) EXPECT_EQ(AlphaBlendFromValue(v), AlphaBlend::kReplace) << v;
}

}  // namespace
}  // namespace quill
