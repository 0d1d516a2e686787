#include "features/feature_selector.h"

#include <gtest/gtest.h>

#include "tests/features/test_photo.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "host/media/media.h"

namespace vantor::tracking {
namespace {

// Whole grey levels 0 .. 255 from a hash of the pixel index: texture without straight edges.
float Noise(uint64_t i) {
  uint64_t z = (i + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<float>((z ^ (z >> 31)) >> 56);
}

// A selector whose grey plane is `ground` with the given bright rectangles [x0, x1) x [y0, y1).
struct Rect {
  int x0, y0, x1, y1;
};
void Paint(feature_selector& s, float ground, std::initializer_list<Rect> rects, float value = 220.0f) {
  const int w = static_cast<int>(s.width()), h = static_cast<int>(s.height());
  std::fill_n(s.grey_plane(), w * h, ground);
  for (const Rect& r : rects)
    for (int y = r.y0; y < r.y1; ++y)
      for (int x = r.x0; x < r.x1; ++x) s.grey_plane()[y * w + x] = value;
}

std::vector<std::pair<int, int>> CandidatePoints(const feature_selector& s) {
  std::vector<std::pair<int, int>> points;
  for (uint64_t c : s.candidates()) points.emplace_back(c % s.width(), c / s.width());
  return points;
}

bool Has(const std::vector<std::pair<int, int>>& points, int x, int y) {
  return std::find(points.begin(), points.end(), std::make_pair(x, y)) != points.end();
}

selection_parameters Unsmoothed() {
  selection_parameters p;
  p.presmooth = false;
  return p;
}

TEST(FeatureSelector, MinDistanceFollowsTheMaskBox) {
  EXPECT_EQ(MinDistanceForMask(1000, 500), 32u);
  EXPECT_EQ(MinDistanceForMask(150, 150), 7u);  // sqrt(45) = 6.7
  EXPECT_EQ(MinDistanceForMask(30, 30), 4u);
  EXPECT_EQ(MinDistanceForMask(0, 500), 4u);
  EXPECT_EQ(MinDistanceForMask(-100, -100), 4u);
}

// Twice the smaller eigenvalue of the 11 x 11 window sums of central-difference gradient
// products at (x, y), 0 past the ratio limit of 5; NaN where float and double may round apart.
double DirectScore(const std::vector<float>& grey, int w, int x, int y) {
  double a = 0, b = 0, c = 0;
  for (int v = y - 5; v <= y + 5; ++v)
    for (int u = x - 5; u <= x + 5; ++u) {
      const double gx = grey[v * w + u + 1] - grey[v * w + u - 1];
      const double gy = grey[(v + 1) * w + u] - grey[(v - 1) * w + u];
      a += gx * gx, b += gx * gy, c += gy * gy;
    }
  const double root = std::sqrt((a - c) * (a - c) + 4 * b * b);
  const double small = a + c - root, large = a + c + root;
  if (std::fabs(large / small - 5.0) < 1e-3) return std::nan("");
  return large > 5.0 * small ? 0.0 : small;
}

// Unsmoothed integer grey keeps every window sum exact, so the score can be checked against
// direct sums at every pixel: zero outside the rectangle the windows fit in, and twice the
// smaller eigenvalue (or 0 past the ratio limit) inside it. Texture stretched sideways makes
// elongated windows, some of them past the limit.
TEST(FeatureSelector, ScoreIsTwiceTheSmallerEigenvalueOfDirectWindowSums) {
  const int w = 64, h = 48;
  feature_selector s(w, h, Unsmoothed());
  for (int stretch : {1, 12}) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) s.grey_plane()[y * w + x] = Noise(y * w + x / stretch);
    const std::vector<float> grey(s.grey_plane(), s.grey_plane() + w * h);
    s.select();
    int kept = 0, elongated = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const float got = s.score_plane()[y * w + x];
        if (x < 11 || y < 11 || x >= w - 11 || y >= h - 11) {
          EXPECT_EQ(got, 0.0f) << x << "," << y;
          continue;
        }
        const double want = DirectScore(grey, w, x, y);
        if (std::isnan(want)) continue;
        EXPECT_NEAR(got, want, 1e-4 * want) << x << "," << y;
        (want > 0 ? kept : elongated) += 1;
      }
    EXPECT_GT(kept, 50) << stretch;
    EXPECT_GT(elongated, stretch > 1 ? 50 : -1) << kept;
  }
}

// The work is confined to the mask's box: scores are right over the box and a pixel around it,
// wherever the box lies (against the frame's margins too), and nothing of an earlier mask's
// select leaks into the next (its candidates and features are a fresh selector's).
TEST(FeatureSelector, AMaskConfinesTheWorkToItsBox) {
  const int w = 160, h = 120;
  selection_parameters params = Unsmoothed();
  params.max_features = 40;
  params.min_distance = 6;
  feature_selector kept(w, h, params);
  for (const Rect box : {Rect{40, 30, 100, 80}, Rect{0, 0, 30, 25}, Rect{120, 90, 160, 120}, Rect{70, 40, 71, 41},
                         Rect{70, 5, 90, 11}, Rect{0, 0, 160, 120}}) {
    SCOPED_TRACE(::testing::Message() << "box " << box.x0 << "," << box.y0 << " to " << box.x1 << "," << box.y1);
    feature_selector fresh(w, h, params);
    for (feature_selector* s : {&kept, &fresh}) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          s->grey_plane()[y * w + x] = Noise(y * w + x);
          s->mask_plane()[y * w + x] = x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1;
        }
    }
    const std::vector<float> grey(kept.grey_plane(), kept.grey_plane() + w * h);
    kept.select();
    fresh.select();
    kept.thin();
    fresh.thin();
    EXPECT_EQ(kept.candidates(), fresh.candidates());
    ASSERT_EQ(kept.results().size(), fresh.results().size());
    for (size_t i = 0; i < kept.results().size(); ++i) {
      EXPECT_EQ(kept.results()[i].x, fresh.results()[i].x);
      EXPECT_EQ(kept.results()[i].y, fresh.results()[i].y);
    }
    for (const auto& [x, y] : CandidatePoints(kept))
      EXPECT_TRUE(x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1) << x << "," << y;
    // Candidates lie 12 pixels or more inside the frame (the default margin); their peak tests
    // read the scores a pixel around them.
    const Rect in{std::max(12, box.x0), std::max(12, box.y0), std::min(w - 12, box.x1), std::min(h - 12, box.y1)};
    const Rect reach = in.x0 < in.x1 && in.y0 < in.y1 ? Rect{in.x0 - 1, in.y0 - 1, in.x1 + 1, in.y1 + 1} : Rect{};
    for (int y = reach.y0; y < reach.y1; ++y)
      for (int x = reach.x0; x < reach.x1; ++x) {
        const double want = DirectScore(grey, w, x, y);
        if (std::isnan(want)) continue;
        EXPECT_NEAR(kept.score_plane()[y * w + x], want, 1e-4 * want) << x << "," << y;
      }
    if (box.x1 - box.x0 > 30) {
      EXPECT_GT(kept.candidates().size(), 5u);
    }
  }
}

TEST(FeatureSelector, PresmoothingIsTheNormalisedGaussianCellIntegral) {
  const int w = 64, h = 48;
  feature_selector s(w, h, selection_parameters());
  // The second impulse sits near the edge: smoothing must reach the outermost gradients
  // (5 pixels in with the default margin and window).
  Paint(s, 0.0f, {{30, 24, 31, 25}, {7, 24, 8, 25}}, 1000.0f);
  s.select();  // smooths the grey plane in place
  const double sigma = 1.1, scale = 1.0 / (sigma * std::sqrt(2.0));
  double k[5], total = 0;
  for (int i = 0; i <= 4; ++i)
    total += (k[i] = std::erf((i + 0.5) * scale) - std::erf((i - 0.5) * scale)) * (i ? 2 : 1);
  auto smoothed = [&](int dx, int dy) {
    return std::abs(dx) <= 4 && std::abs(dy) <= 4 ? 1000.0 * k[std::abs(dx)] * k[std::abs(dy)] / (total * total) : 0.0;
  };
  for (int dy = -5; dy <= 5; ++dy) {
    for (int dx = -5; dx <= 5; ++dx)
      EXPECT_NEAR(s.grey_plane()[(24 + dy) * w + 30 + dx], smoothed(dx, dy), 1e-3) << dx << "," << dy;
    for (int x = 5; x <= 12; ++x) EXPECT_NEAR(s.grey_plane()[(24 + dy) * w + x], smoothed(x - 7, dy), 1e-3) << x;
  }
}

TEST(FeatureSelector, FindsTheCornersOfBrightSquaresBestFirst) {
  const int w = 128, h = 96;
  feature_selector s(w, h, selection_parameters());
  Paint(s, 20.0f, {{20, 20, 50, 40}, {70, 50, 100, 80}});
  const auto [best, worst] = s.select();
  const auto points = CandidatePoints(s);
  ASSERT_EQ(points.size(), 8u);
  for (auto [x, y] : {std::pair{24, 24}, {45, 24}, {24, 35}, {45, 35}, {74, 54}, {95, 54}, {74, 75}, {95, 75}})
    EXPECT_TRUE(Has(points, x, y)) << x << "," << y;
  const float* score = s.score_plane();
  for (size_t i = 1; i < s.candidates().size(); ++i) EXPECT_GE(score[s.candidates()[i - 1]], score[s.candidates()[i]]);
  EXPECT_FLOAT_EQ(best, score[s.candidates().front()] / 121.0f);
  EXPECT_FLOAT_EQ(worst, score[s.candidates().back()] / 121.0f);

  // A mask that leaves out the second square keeps only the first square's corners.
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) s.mask_plane()[y * w + x] = x < 60;
  Paint(s, 20.0f, {{20, 20, 50, 40}, {70, 50, 100, 80}});
  s.select();
  for (auto [x, y] : CandidatePoints(s)) EXPECT_LT(x, 50);
  EXPECT_EQ(s.candidates().size(), 4u);
}

TEST(FeatureSelector, FlatFramesAndStraightEdgesScoreNothing) {
  const int w = 96, h = 80;
  feature_selector s(w, h, selection_parameters());
  auto max_score = [&] { return *std::max_element(s.score_plane(), s.score_plane() + w * h); };
  Paint(s, 128.0f, {});
  EXPECT_EQ(s.select(), std::make_pair(0.0f, 0.0f));
  EXPECT_TRUE(s.candidates().empty());
  Paint(s, 10.0f, {{40, 0, w, h}});  // vertical edge
  s.select();
  EXPECT_EQ(max_score(), 0.0f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) s.grey_plane()[y * w + x] = x + y < 90 ? 10.0f : 200.0f;  // diagonal edge
  EXPECT_EQ(s.select(), std::make_pair(0.0f, 0.0f));
  EXPECT_EQ(max_score(), 0.0f);
}

TEST(FeatureSelector, EqualNeighbouringMaximaAreBothRejected) {
  const int w = 64, h = 64;
  feature_selector s(w, h, Unsmoothed());
  // A square from (26, 26), mirror-symmetric, with exact integer sums. An even side puts
  // corner peaks side by side with equal scores: a 2 x 2 block when flat, a pair in row 31 when
  // the square brightens downwards (ramp 1), a pair in column 31 when it brightens rightwards
  // (ramp 2). An odd side gives one peak, which is taken.
  struct Case {
    int side;
    int ramp;
    std::vector<std::pair<int, int>> plateau;
  };
  for (const Case& c : {Case{10, 0, {{30, 30}, {31, 30}, {30, 31}, {31, 31}}}, Case{10, 1, {{30, 31}, {31, 31}}},
                        Case{10, 2, {{31, 30}, {31, 31}}}, Case{9, 0, {{30, 30}}}}) {
    std::fill_n(s.grey_plane(), w * h, 0.0f);
    for (int y = 26; y < 26 + c.side; ++y)
      for (int x = 26; x < 26 + c.side; ++x)
        s.grey_plane()[y * w + x] = 10.0f + (c.ramp == 1 ? y - 26 : c.ramp == 2 ? x - 26 : 0);
    s.select();
    const float* score = s.score_plane();
    const float peak = score[c.plateau[0].second * w + c.plateau[0].first];
    for (int y = 29; y <= 32; ++y)
      for (int x = 29; x <= 32; ++x) {
        if (Has(c.plateau, x, y)) {
          ASSERT_EQ(score[y * w + x], peak) << c.side << " " << c.ramp;
        } else if (std::any_of(c.plateau.begin(), c.plateau.end(), [&](std::pair<int, int> q) {
                     return std::abs(x - q.first) <= 1 && std::abs(y - q.second) <= 1;
                   })) {
          ASSERT_LT(score[y * w + x], peak) << c.side << " " << c.ramp;
        }
      }
    const auto points = CandidatePoints(s);
    for (auto [x, y] : c.plateau) EXPECT_EQ(Has(points, x, y), c.plateau.size() == 1) << x << "," << y;
  }
}

TEST(FeatureSelector, CandidatesStayInsideTheBorderMargin) {
  const int w = 64, h = 64;
  for (uint64_t margin : {12u, 20u}) {
    selection_parameters p;
    p.border_margin = margin;
    feature_selector s(w, h, p);
    for (int i = 0; i < w * h; ++i) s.grey_plane()[i] = Noise(i);
    s.select();
    ASSERT_FALSE(s.candidates().empty());
    int nearest = w;
    for (auto [x, y] : CandidatePoints(s)) {
      EXPECT_GE(std::min(x, y), static_cast<int>(margin));
      EXPECT_LE(std::max(x, y), w - 1 - static_cast<int>(margin));
      nearest = std::min({nearest, x, y, w - 1 - x, h - 1 - y});
    }
    EXPECT_LE(nearest, static_cast<int>(margin) + 1);  // the scan does reach the margin
  }
}

TEST(FeatureSelector, ThresholdHasAnAbsoluteFloorAndACappedRelativePart) {
  const int w = 96, h = 80;
  // Contrast 1: real local maxima, all under 121 (1.0 per window pixel).
  selection_parameters p;
  feature_selector faint(w, h, p);
  Paint(faint, 100.0f, {{30, 30, 60, 50}}, 101.0f);
  EXPECT_EQ(faint.select(), std::make_pair(0.0f, 0.0f));
  EXPECT_TRUE(faint.candidates().empty());
  p.min_score_per_pixel = 0.0f;
  feature_selector floorless(w, h, p);
  Paint(floorless, 100.0f, {{30, 30, 60, 50}}, 101.0f);
  floorless.select();
  EXPECT_EQ(floorless.candidates().size(), 4u);

  // A strong square beside a weak one: the best score exceeds the cap, so the relative part is
  // 0.1 · 726000 = 72600 and the weak corners, above 121 but under that, go.
  selection_parameters strict;
  strict.relative_quality = 0.1f;
  feature_selector mixed(w + 40, h, strict);
  Paint(mixed, 0.0f, {{20, 20, 40, 40}}, 255.0f);
  for (int y = 20; y < 40; ++y)
    for (int x = 80; x < 100; ++x) mixed.grey_plane()[y * (w + 40) + x] = 50.0f;
  const auto [best, worst] = mixed.select();
  ASSERT_GT(best, 6000.0f);
  EXPECT_GE(worst * 121.0f, 72600.0f);
  for (auto [x, y] : CandidatePoints(mixed)) EXPECT_LT(x, 60);
  const float weak = mixed.score_plane()[24 * (w + 40) + 84];
  EXPECT_GT(weak, 121.0f);
  EXPECT_LT(weak, 72600.0f);
}

TEST(FeatureSelector, ThinningKeepsMinimumDistanceAndCount) {
  const int w = 100, h = 100, spacing = 16;
  // Four 25 x 25 squares 32 apart: their corner peaks (inset 4) form a 4 x 4 grid, 16 apart.
  std::vector<std::pair<int, int>> dots;
  for (int y = 20; y < 80; y += spacing)
    for (int x = 20; x < 80; x += spacing) dots.emplace_back(x, y);
  auto run = [&](uint64_t min_distance, uint64_t max_features) {
    selection_parameters p;
    p.min_distance = min_distance;
    p.max_features = max_features;
    feature_selector s(w, h, p);
    Paint(s, 0.0f, {{16, 16, 41, 41}, {48, 16, 73, 41}, {16, 48, 41, 73}, {48, 48, 73, 73}});
    s.select();
    for (auto [x, y] : dots) EXPECT_TRUE(Has(CandidatePoints(s), x, y)) << x << "," << y;
    s.thin();
    return s;
  };
  // Just under the spacing every dot stays; at the spacing, neighbours in a row or column go
  // (equal distance excludes) but diagonal ones (22.6 apart) stay.
  EXPECT_EQ(run(15, 100).results().size(), dots.size());
  const feature_selector s = run(16, 100);
  const auto& kept = s.results();
  EXPECT_GE(kept.size(), 4u);  // a 4 x 4 grid needs at least 4 to cover it
  EXPECT_LT(kept.size(), dots.size());
  for (size_t i = 0; i < kept.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      EXPECT_GT(std::hypot(kept[i].x - kept[j].x, kept[i].y - kept[j].y), 16.0f) << i << " " << j;
  for (auto [x, y] : dots) {  // every dropped dot lies within the distance of a kept one
    bool covered = false;
    for (const auto& f : kept) covered |= std::hypot(f.x - x, f.y - y) <= 16.0f;
    EXPECT_TRUE(covered) << x << "," << y;
  }
  // The count limit keeps the best ones, in order.
  const feature_selector few = run(15, 5);
  ASSERT_EQ(few.results().size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(few.results()[i].score, few.score_plane()[few.candidates()[i]]);

  std::vector<tracking_feature<float>> row(7, tracking_feature<float>{9, 9, kFeatureTracked, 0.5f});
  few.write_features(row);
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(row[i].state, i < 5 ? kFeatureSelected : kFeatureNotTracked);
  EXPECT_EQ(std::make_pair(row[4].x, row[4].y), std::make_pair(few.results()[4].x, few.results()[4].y));
  std::vector<tracking_feature<float>> short_row(2);
  few.write_features(short_row);  // the rest is dropped
  EXPECT_EQ(short_row[1].state, kFeatureSelected);
}

// A bright square in one quarter and faint ones in the others: the strongest four are all the
// bright square's corners; with the box cut in 2 x 2 cells every quarter keeps one first.
TEST(FeatureSelector, CellsShareTheListBeforeTheStrongestFillIt) {
  const auto kept = [](uint64_t cells) {
    selection_parameters p;
    p.min_distance = 4;
    p.max_features = 4;
    p.spread_cells = cells;
    feature_selector s(100, 100, p);
    Paint(s, 0.0f, {{16, 16, 41, 41}});
    for (const Rect& r : {Rect{56, 16, 81, 41}, Rect{16, 56, 41, 81}, Rect{56, 56, 81, 81}})
      for (int y = r.y0; y < r.y1; ++y)
        for (int x = r.x0; x < r.x1; ++x) s.grey_plane()[y * 100 + x] = 40.0f;
    s.select();
    s.thin();
    return s.results();
  };
  const auto quarter = [](const selected_feature& f) { return (f.x >= 50) + 2 * (f.y >= 50); };
  const std::vector<selected_feature> strongest = kept(0), spread = kept(2);
  ASSERT_EQ(strongest.size(), 4u);
  for (const selected_feature& f : strongest) EXPECT_EQ(quarter(f), 0) << f.x << "," << f.y;
  ASSERT_EQ(spread.size(), 4u);
  std::vector<int> quarters;
  for (const selected_feature& f : spread) quarters.push_back(quarter(f));
  std::sort(quarters.begin(), quarters.end());
  EXPECT_EQ(quarters, (std::vector<int>{0, 1, 2, 3}));
  for (size_t i = 1; i < spread.size(); ++i) EXPECT_GE(spread[i - 1].score, spread[i].score);  // best first
}

// None of these may crash, read out of bounds (the sanitizer build checks) or let a non-finite
// score out.
TEST(FeatureSelector, DegenerateFramesMasksAndPixels) {
  for (auto [w, h] : {std::pair{0, 0}, {1, 1}, {23, 23}, {24, 24}, {200, 5}, {5, 200}, {26, 40}}) {
    feature_selector s(w, h, selection_parameters());
    for (int i = 0; i < w * h; ++i) s.grey_plane()[i] = Noise(i);
    EXPECT_EQ(s.select(), std::make_pair(0.0f, 0.0f)) << w << "x" << h;
    s.thin();
    EXPECT_TRUE(s.results().empty());
  }

  const int w = 64, h = 64;
  feature_selector s(w, h, selection_parameters());
  for (int i = 0; i < w * h; ++i) s.grey_plane()[i] = Noise(i);
  const auto full = s.select();
  EXPECT_GT(full.first, 0.0f);
  std::fill_n(s.mask_plane(), w * h, 0);
  for (int i = 0; i < w * h; ++i) s.grey_plane()[i] = Noise(i);
  EXPECT_EQ(s.select(), std::make_pair(0.0f, 0.0f));

  // NaN and infinite pixels read as 0 and huge ones as 1e7, so they cannot poison the running
  // sums: the scores match those of the frame with such values put in.
  std::vector<float> clean(w * h);
  for (int i = 0; i < w * h; ++i) clean[i] = Noise(i);
  clean[32 * w + 30] = clean[20 * w + 40] = 0.0f;
  clean[40 * w + 20] = 1e7f;
  std::copy(clean.begin(), clean.end(), s.grey_plane());
  s.select();
  const std::vector<float> want(s.score_plane(), s.score_plane() + w * h);
  std::copy(clean.begin(), clean.end(), s.grey_plane());
  s.grey_plane()[32 * w + 30] = std::numeric_limits<float>::quiet_NaN();
  s.grey_plane()[20 * w + 40] = -std::numeric_limits<float>::infinity();
  s.grey_plane()[40 * w + 20] = 1e30f;
  const auto [best, worst] = s.select();
  EXPECT_TRUE(std::isfinite(best) && std::isfinite(worst));
  for (int i = 0; i < w * h; ++i) ASSERT_EQ(s.score_plane()[i], want[i]) << i;

  // Parameters far beyond the frame.
  selection_parameters odd;
  odd.window_half_width = uint64_t{1} << 50;
  odd.border_margin = std::numeric_limits<uint64_t>::max();
  odd.max_features = std::numeric_limits<uint64_t>::max();
  odd.presmooth_sigma_factor = std::numeric_limits<float>::quiet_NaN();
  feature_selector huge(w, h, odd);
  EXPECT_EQ(huge.select(), std::make_pair(0.0f, 0.0f));
  selection_parameters wide;
  wide.min_distance = std::numeric_limits<uint64_t>::max();
  wide.presmooth_sigma_factor = 1e20f;
  feature_selector far(w, h, wide);
  for (int i = 0; i < w * h; ++i) far.grey_plane()[i] = Noise(i);
  far.select();
  far.thin();
  EXPECT_EQ(far.results().size(), 1u);
}

TEST(FeatureSelector, SelectsSpreadFeaturesInsideAMaskOnAPhotograph) {
  const std::string path = testing::PhotoPath("camera.png");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " not found";
  std::string error;
  host::RgbaFrame frame;
  ASSERT_TRUE(testing::LoadPhoto(path, frame, error)) << error;
  const int w = frame.width, h = frame.height;
  const Rect box{150, 100, 370, 360};
  selection_parameters p;
  p.max_features = 100;
  p.min_distance = MinDistanceForMask(box.x1 - box.x0, box.y1 - box.y0);
  feature_selector s(w, h, p);
  for (int i = 0; i < w * h; ++i) {
    const uint8_t* q = &frame.pixels[4 * i];
    s.grey_plane()[i] = static_cast<float>((9798 * q[0] + 19235 * q[1] + 3735 * q[2] + 16384) >> 15);
    const int x = i % w, y = i / w;
    s.mask_plane()[i] = x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1;
  }
  s.select();
  s.thin();
  const auto& kept = s.results();
  EXPECT_GE(kept.size(), 80u);
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_TRUE(kept[i].x >= box.x0 && kept[i].x < box.x1 && kept[i].y >= box.y0 && kept[i].y < box.y1);
    for (size_t j = 0; j < i; ++j)
      EXPECT_GT(std::hypot(kept[i].x - kept[j].x, kept[i].y - kept[j].y), static_cast<float>(p.min_distance));
  }
}

}  // namespace
}  // namespace vantor::tracking
