#include "features/feature_template.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/features/test_pyramid.h"
#include "tests/features/test_texture.h"

namespace vantor::tracking {
namespace {

using testing::Pyramid;
using testing::Texture;

// On a plane 2x + 3y + 10c the interpolated values are the plane and the central differences
// its slopes, at any sub-pixel position; the padding of every plane stays zero.
TEST(FeatureTemplate, ValuesAndGradientsOfARampAreExact) {
  const image_pyramid ramp = Pyramid(64, 48, [](int x, int y, int c) { return 2.0f * x + 3.0f * y + 10.0f * c; });
  const lk_window win{7, 5, 3};
  std::vector<float> planes(5 * win.level_stride(), -1.0f), scratch(win.extraction_scratch());
  const float x = 30.25f, y = 20.5f;
  // At level 2 (7.5625, 5.125) the 15 x 11 window just fits the 16 x 12 level; level 3 is too small.
  ASSERT_EQ(extract_feature_template(ramp, win, x, y, 5, planes.data(), scratch.data()), 3u);
  const uint64_t ps = win.plane_stride();
  for (uint64_t v = 0; v < win.height(); ++v)
    for (uint64_t u = 0; u < win.width(); ++u)
      for (uint64_t c = 0; c < 3; ++c) {
        const uint64_t k = (v * win.width() + u) * 3 + c;
        const float px = x + float(u) - 7.0f, py = y + float(v) - 5.0f;
        EXPECT_NEAR(planes[k], 2.0f * px + 3.0f * py + 10.0f * float(c), 1e-3f) << k;
        EXPECT_NEAR(planes[ps + k], 2.0f, 1e-4f) << k;
        EXPECT_NEAR(planes[2 * ps + k], 3.0f, 1e-4f) << k;
      }
  for (uint64_t p = 0; p < 3; ++p)
    for (uint64_t k = win.samples(); k < ps; ++k) EXPECT_EQ(planes[p * ps + k], 0.0f) << p << " " << k;
  // The level cap, a position whose footprint leaves level 0, and a window of another channel count.
  EXPECT_EQ(extract_feature_template(ramp, win, x, y, 1, planes.data(), scratch.data()), 1u);
  EXPECT_EQ(extract_feature_template(ramp, win, 6.9f, y, 5, planes.data(), scratch.data()), 0u);
  EXPECT_EQ(extract_feature_template(ramp, lk_window{7, 5, 1}, x, y, 5, planes.data(), scratch.data()), 0u);
}

TEST(FeatureTemplate, FlatChannelIndicatorAndCorrelation) {
  const Texture t(8);
  const lk_window win{7, 7, 3};
  std::vector<float> plane(win.plane_stride(), 0.0f);
  for (uint64_t p = 0; p < win.pixels(); ++p) {
    plane[3 * p] = 90.0f;                                  // flat red
    plane[3 * p + 1] = t(p % 15, p / 15, 1);               // textured green
    plane[3 * p + 2] = 2.0f * t(p % 15, p / 15, 2) - 100;  // blue with the larger spread
  }
  plane[0] = 90.1f;  // a spread far below 5 is still flat
  EXPECT_EQ(flat_channel_indicator(plane.data(), win, 5.0f), 3);
  std::vector<float> textured = plane;
  for (uint64_t p = 0; p < win.pixels(); ++p) textured[3 * p] = t(p % 15, p / 15, 0);
  EXPECT_EQ(flat_channel_indicator(textured.data(), win, 5.0f), 0);
  EXPECT_EQ(flat_channel_indicator(textured.data(), lk_window{7, 7, 1}, 1e6f), 0);
  // Correlation: the mean over channels, a channel without variance counting 0.
  EXPECT_NEAR(window_correlation(textured.data(), textured.data(), win), 1.0f, 1e-6f);
  plane[0] = 90.0f;
  EXPECT_NEAR(window_correlation(textured.data(), plane.data(), win), 2.0f / 3.0f, 1e-6f);
}

}  // namespace
}  // namespace vantor::tracking
