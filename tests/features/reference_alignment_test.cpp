#include "features/reference_alignment.h"

#include <gtest/gtest.h>

#include "tests/features/test_photo.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "features/feature_selector.h"
#include "host/media/media.h"
#include "tests/features/test_pyramid.h"

namespace vantor::tracking {
namespace {

using testing::Pyramid;

// A similarity about the frame centre with a shift, as a plane_map, with its forward map.
struct Similarity {
  double cx, cy, degrees, scale, tx, ty;
  double ca() const { return std::cos(degrees * M_PI / 180) * scale; }
  double sa() const { return std::sin(degrees * M_PI / 180) * scale; }
  double U(double x, double y) const { return ca() * (x - cx) - sa() * (y - cy) + cx + tx; }
  double V(double x, double y) const { return sa() * (x - cx) + ca() * (y - cy) + cy + ty; }
  plane_map Map(double ex = 0, double ey = 0) const {
    return {ca(), sa(), 0, -sa(), ca(), 0, U(0, 0) + ex, V(0, 0) + ey, 1};
  }
};

// The grass photograph (grey, so R = G = B), features selected in it away from the border and
// their templates; and copies of the photograph under a similarity with per-channel gain and
// bias, rounded to 8 bits.
struct Grass {
  int w = 0, h = 0;
  std::vector<float> grey;
  reference_features reference;

  bool Load(std::string& error) {
    host::RgbaFrame frame;
    if (!testing::LoadPhoto(testing::PhotoPath("grass.png"), frame, error)) return false;
    w = frame.width;
    h = frame.height;
    grey.resize(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = frame.pixels[4 * i + 1];
    const image_pyramid a = Pyramid(w, h, [&](int x, int y, int) { return grey[static_cast<size_t>(y) * w + x]; });
    selection_parameters sp;
    sp.max_features = 200;
    sp.min_distance = 12;
    feature_selector sel(w, h, sp);
    std::copy(grey.begin(), grey.end(), sel.grey_plane());
    for (int i = 0; i < w * h; ++i)
      sel.mask_plane()[i] = i % w >= 40 && i / w >= 40 && i % w < w - 40 && i / w < h - 40;
    sel.select();
    sel.thin();
    reference.row.resize(sp.max_features);
    sel.write_features(reference.row);
    reference.templates.resize(reference.row.size());
    std::vector<float> states(reference.row.size() * affine_state::size(3));
    create_templates(a, reference.row, reference.templates, states, 7);
    return true;
  }
  float At(double x, double y) const {  // bilinear, 0 outside
    if (!(x >= 0 && y >= 0 && x < w - 1 && y < h - 1)) return 0.0f;
    const int ix = static_cast<int>(x), iy = static_cast<int>(y);
    const double fx = x - ix, fy = y - iy;
    const float* p = &grey[static_cast<size_t>(iy) * w + ix];
    return static_cast<float>((1 - fy) * ((1 - fx) * p[0] + fx * p[1]) + fy * ((1 - fx) * p[w] + fx * p[w + 1]));
  }
  image_pyramid Warped(const Similarity& s, const float gain[3], const float bias[3]) const {
    const double ca = s.ca(), sa = s.sa(), s2 = s.scale * s.scale;
    return Pyramid(w, h, [&](int x, int y, int c) {
      const double u = x - s.cx - s.tx, v = y - s.cy - s.ty;
      const float value = gain[c] * At((ca * u + sa * v) / s2 + s.cx, (ca * v - sa * u) / s2 + s.cy) + bias[c];
      return std::clamp(std::round(value), 0.0f, 255.0f);
    });
  }
};

reference_match Match(const image_pyramid& target, const reference_features& reference, const plane_map& map) {
  return match_reference(target, reference, map, 25, kPhotometricPerChannel, affine_convergence{}, 0.7f, 5.0f, 7);
}

// Distance of a found feature from where `truth` puts it.
double Error(const reference_match& m, size_t k, const Similarity& truth) {
  return std::hypot(m.to[k].x - truth.U(m.from[k].x, m.from[k].y), m.to[k].y - truth.V(m.from[k].x, m.from[k].y));
}

// Distances of all found features, sorted.
std::vector<double> Errors(const reference_match& m, const Similarity& truth) {
  std::vector<double> e;
  for (size_t k = 0; k < m.to.size(); ++k) e.push_back(Error(m, k, truth));
  std::sort(e.begin(), e.end());
  return e;
}

size_t Beyond(const std::vector<double>& e, double d) {
  return static_cast<size_t>(e.end() - std::upper_bound(e.begin(), e.end(), d));
}

constexpr float kGain[3] = {1.15f, 0.9f, 1.05f}, kBias[3] = {-10.0f, 15.0f, 5.0f};

// The grass photograph with its reference, and a copy turned 20 degrees and scaled 1.3.
class MatchReference : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(testing::PhotoPath("grass.png"))) GTEST_SKIP() << "grass.png not found";
    std::string error;
    ASSERT_TRUE(g.Load(error)) << error;
    truth = {g.w / 2.0, g.h / 2.0, 20.0, 1.3, 15.2, -9.7};
  }
  image_pyramid Turned() const { return g.Warped(truth, kGain, kBias); }

  Grass g;
  Similarity truth{};
};

// A 20 degree turn with 1.3x scale: the reference's templates are found again from a prediction
// 1 to 1.5 px off, but not from the identity, where the refinement starts untilted and unscaled.
TEST_F(MatchReference, LargeSimilarityIsFoundFromANearPrediction) {
  const image_pyramid b = Turned();
  // Measured per prediction: 148 of 155 or 156 tried found (those missed lie within 14 px of
  // the edge, where the scaled and turned window leaves the frame), median 0.030 px, 95th
  // percentile 0.068 px, worst 0.119 px, quality 0.96 and above.
  for (const auto& [ex, ey] : {std::pair{1.1, -0.8}, std::pair{-1.3, 0.6}, std::pair{0.4, 1.4}}) {
    SCOPED_TRACE(std::to_string(ex) + ", " + std::to_string(ey));
    const reference_match m = Match(b, g.reference, truth.Map(ex, ey));
    ASSERT_EQ(m.from.size(), m.to.size());
    EXPECT_GT(m.tried, g.reference.live() * 6 / 10);
    const std::vector<double> e = Errors(m, truth);
    ASSERT_GT(e.size() * 100, m.tried * 85);
    EXPECT_LT(e[e.size() / 2], 0.05);
    EXPECT_LT(e[e.size() * 95 / 100], 0.15);
    EXPECT_EQ(Beyond(e, 0.5), 0u);
    for (const tracking_feature<float>& f : m.to) EXPECT_GT(f.quality, 0.9f);
  }
  // From the identity only features near the map's fixed point are found (measured 4 of 200
  // at the right place, 4 more elsewhere).
  const reference_match id = Match(b, g.reference, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  const std::vector<double> e = Errors(id, truth);
  EXPECT_LT((e.size() - Beyond(e, 0.5)) * 10, g.reference.live());
}

// Predictions off the frame, or through a map that folds there, are not tried and leave no
// trace in the result.
TEST_F(MatchReference, PredictionsOutsideOrFoldedAreNotTried) {
  const image_pyramid a =
      Pyramid(g.w, g.h, [&](int x, int y, int) { return g.grey[static_cast<size_t>(y) * g.w + x]; });
  const double w = g.w, h = g.h, cx = w / 2, cy = h / 2;

  const reference_match away = Match(a, g.reference, {1, 0, 0, 0, 1, 0, 2 * w, 0, 1});
  EXPECT_EQ(away.tried, 0u);
  EXPECT_TRUE(away.from.empty() && away.to.empty());
  // A mirror image: every prediction is inside, none is tried.
  const reference_match mirrored = Match(a, g.reference, {-1, 0, 0, 0, 1, 0, w - 1, 0, 1});
  EXPECT_EQ(mirrored.tried, 0u);
  EXPECT_TRUE(mirrored.to.empty());

  // A perspective map whose horizon (w = 0) crosses the frame at x = cx - 100. Beyond it the map
  // folds (its derivative's determinant is det M / w^3 < 0), yet its left strip lands inside the
  // frame's right edge; the near side is a valid map, partly inside. Only the near side's
  // inside predictions may be tried.
  const double k = 100;
  auto denominator = [&](double x) { return 1 + (x - cx) / k; };
  const plane_map perspective = {1 + cx / k, cy / k, 1 / k, 0, 1, 0, -cx * cx / k, -cx * cy / k, 1 - cx / k};
  uint64_t near_inside = 0, far_inside = 0;
  for (const tracking_feature<float>& f : g.reference.row) {
    if (f.state <= 0) continue;
    const double d = denominator(f.x), u = (f.x - cx) / d + cx, v = (f.y - cy) / d + cy;
    if (u >= 0 && v >= 0 && u < w && v < h) ++(d > 0 ? near_inside : far_inside);
  }
  ASSERT_GT(near_inside, 10u);
  ASSERT_GT(far_inside, 3u);
  const reference_match m = Match(a, g.reference, perspective);
  EXPECT_EQ(m.tried, near_inside);
  ASSERT_EQ(m.from.size(), m.to.size());
  for (size_t i = 0; i < m.to.size(); ++i) {
    EXPECT_GT(denominator(m.from[i].x), 0);
    EXPECT_TRUE(std::isfinite(m.to[i].x) && std::isfinite(m.to[i].y) && std::isfinite(m.to[i].quality));
    EXPECT_TRUE(m.to[i].x >= 0 && m.to[i].y >= 0 && m.to[i].x < w && m.to[i].y < h);
  }
}

// Predictions 40 px off in several directions: almost nothing is found, and what is accepted
// at the wrong place barely passes the correlation threshold. Measured over five directions:
// 7 of 775 tried accepted, all of them wrong (near where predicted), quality 0.71 to 0.74.
TEST_F(MatchReference, ABadPredictionIsMostlyRejected) {
  const image_pyramid b = Turned();
  uint64_t tried = 0, wrong = 0;
  for (const double degrees : {0.0, 70.0, 150.0, 230.0, 300.0}) {
    const double ex = 40 * std::cos(degrees * M_PI / 180), ey = 40 * std::sin(degrees * M_PI / 180);
    const reference_match m = Match(b, g.reference, truth.Map(ex, ey));
    EXPECT_LT(m.to.size() * 10, m.tried) << degrees;
    tried += m.tried;
    for (size_t i = 0; i < m.to.size(); ++i) {
      if (Error(m, i, truth) < 0.5) continue;
      ++wrong;
      EXPECT_LT(m.to[i].quality, 0.9f) << degrees;
    }
  }
  EXPECT_GT(tried, 500u);
  EXPECT_LT(wrong * 30, tried);
}

}  // namespace
}  // namespace vantor::tracking
