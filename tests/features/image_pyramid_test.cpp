#include "features/image_pyramid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vantor::tracking {
namespace {

// Deterministic values 0 .. 255 without a random engine.
float Noise(uint64_t i) { return static_cast<float>((i * 2654435761u >> 7) % 256); }

TEST(ImagePyramid, LevelSizesAreCeilingsAndLevelsFollowEachOther) {
  const image_pyramid p(1920, 1080, 3, 5);
  const uint64_t widths[] = {1920, 960, 480, 240, 120}, heights[] = {1080, 540, 270, 135, 68};
  size_t offset = 0;
  for (uint64_t l = 0; l < 5; ++l) {
    EXPECT_EQ(p.level_width(l), widths[l]);
    EXPECT_EQ(p.level_height(l), heights[l]);
    EXPECT_EQ(p.level_stride(l), widths[l] * 3);
    EXPECT_EQ(p.level(l), p.data().data() + offset);
    offset += widths[l] * heights[l] * 3;
  }
  EXPECT_EQ(p.data().size(), offset);
  // Ceiling from level 0, not halving a rounded level: 7 -> 4 -> 2 -> 1, and 9 / 8 -> 2.
  const image_pyramid odd(9, 7, 1, 4);
  EXPECT_EQ(odd.level_width(3), 2u);
  EXPECT_EQ(odd.level_height(2), 2u);
  EXPECT_EQ(odd.level_height(3), 1u);
  EXPECT_TRUE(image_pyramid(64, 64, 3, 0).data().empty());
}

TEST(ImagePyramid, FiveWideSourceGivesOneInteriorPixelCentredOnColumnTwo) {
  image_pyramid p(5, 5, 1, 2);
  float* s = p.level(0);
  for (int i = 0; i < 25; ++i) s[i] = 1000.0f;  // other rows must not leak in
  s[2 * 5 + 1] = 4.0f;
  s[2 * 5 + 2] = 10.0f;
  s[2 * 5 + 3] = 8.0f;
  std::vector<float> scratch(25);
  p.build(scratch);
  const float* d = p.level(1);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(d[i], i == 4 ? (4.0f + 2 * 10.0f + 8.0f) / 4 : 0.0f) << i;

  // Single precision in the order middle + left + middle + right: 3 vanishes beside 1e8.
  s[2 * 5 + 1] = 1e8f;
  s[2 * 5 + 2] = 3.0f;
  s[2 * 5 + 3] = -1e8f;
  p.build();
  EXPECT_EQ(p.level(1)[4], 0.0f);
}

TEST(ImagePyramid, EveryLevelHasAZeroFrameInEveryChannelAndChannelsAreIndependent) {
  // 45 wide: level 1 has 21 interior columns (five blocks of four and a tail).
  const uint64_t w = 45, h = 31;
  for (uint64_t c : {1u, 2u, 3u, 4u}) {
    image_pyramid p(w, h, c, 4);
    // Large values with fractions: the filter's single-precision sum order shows.
    for (size_t i = 0; i < w * h * c; ++i) p.level(0)[i] = 1.0f + Noise(i) * 1e5f + static_cast<float>(i % 7) * 0.37f;
    p.build();
    for (uint64_t l = 1; l < 4; ++l) {
      const uint64_t lw = p.level_width(l), lh = p.level_height(l);
      const float* d = p.level(l);
      for (uint64_t y = 0; y < lh; ++y)
        for (uint64_t x = 0; x < lw; ++x)
          for (uint64_t k = 0; k < c; ++k) {
            const float v = d[(y * lw + x) * c + k];
            if (x == 0 || y == 0 || x == lw - 1 || y == lh - 1) {
              EXPECT_EQ(v, 0.0f) << "channels " << c << " level " << l << " at " << x << "," << y;
            } else if (l == 1) {
              const float* m = p.level(0) + (2 * y * w + 2 * x) * c + k;
              EXPECT_EQ(v, (((m[0] + m[-static_cast<int64_t>(c)]) + m[0]) + m[c]) * 0.25f);
            } else {
              EXPECT_GT(v, 0.0f);
            }
          }
    }
  }
}

TEST(ImagePyramid, RowsArePointSampledSoRowPatternsKeepTheirContrast) {
  image_pyramid p(16, 16, 3, 2);
  for (uint64_t y = 0; y < 16; ++y)
    for (uint64_t i = 0; i < 16 * 3; ++i) p.level(0)[y * 48 + i] = y % 2 ? 0.0f : 100.0f + y;
  p.build();
  const float* d = p.level(1);
  for (uint64_t y = 1; y < 7; ++y)
    for (uint64_t i = 3; i < 7 * 3; ++i) EXPECT_EQ(d[y * 24 + i], 100.0f + 2 * y);
}

TEST(ImagePyramid, SourceUnderThreePixelsClearsOnlyTheFirstRow) {
  image_pyramid narrow(2, 12, 3, 2);  // level 1: 1 x 6
  image_pyramid low(12, 2, 1, 2);     // level 1: 6 x 1
  image_pyramid both(9, 9, 1, 4);     // levels 5x5, 3x3, 2x2: the last source is 3x3, then 2x2
  for (image_pyramid* p : {&narrow, &low, &both}) std::fill(p->data().begin(), p->data().end(), 7.0f);
  narrow.build();
  low.build();
  both.build();
  for (int k = 0; k < 3; ++k) EXPECT_EQ(narrow.level(1)[k], 0.0f);
  for (size_t i = 3; i < 6 * 3; ++i) EXPECT_EQ(narrow.level(1)[i], 7.0f);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(low.level(1)[k], 0.0f);
  for (int k = 0; k < 9; ++k) EXPECT_EQ(both.level(2)[k], k == 4 ? 7.0f : 0.0f);  // 3x3 from a 5x5 source
  EXPECT_EQ(both.level(3)[0], 0.0f);  // 2x2 from a 3x3 source: filtered, all frame
  EXPECT_EQ(both.level(3)[3], 0.0f);
}

}  // namespace
}  // namespace vantor::tracking
