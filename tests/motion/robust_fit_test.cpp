#include "motion/robust_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "platform/runtime/debug_database.h"

namespace vantor::tracking {
namespace {

const M_FloatRect kMask{120, 100, 520, 380};

h_matrix_2d Model(int32_t type, std::initializer_list<double> values) {
  h_matrix_2d m(type);
  size_t i = 0;
  for (double v : values) m.parameters[i++] = v;
  return m;
}

// 100 correspondences a ~ truth(b): 30 gross outliers, 0.3 px noise on the rest.
void Scene(const h_matrix_2d& truth, std::vector<Point2f>& a, std::vector<Point2f>& b) {
  std::mt19937 gen(42);
  std::uniform_real_distribution<double> ux(100, 540), uy(80, 400);
  std::normal_distribution<double> noise(0, 0.3);
  for (int i = 0; i < 100; ++i) {
    const Point2d p{ux(gen), uy(gen)};
    Point2d q = truth(p);
    if (i % 10 < 3) {
      q = {ux(gen), uy(gen)};
    } else {
      q.x += noise(gen), q.y += noise(gen);
    }
    b.push_back({static_cast<float>(p.x), static_cast<float>(p.y)});
    a.push_back({static_cast<float>(q.x), static_cast<float>(q.y)});
  }
}

// Largest distance between the two mappings of the mask's corners.
double CornerError(const h_matrix_2d& fit, const h_matrix_2d& truth) {
  double worst = 0;
  for (const Point2d c : {Point2d{kMask.left, kMask.top}, Point2d{kMask.right, kMask.top},
                          Point2d{kMask.right, kMask.bottom}, Point2d{kMask.left, kMask.bottom}}) {
    const Point2d p = fit(c), q = truth(c);
    worst = std::max(worst, std::hypot(p.x - q.x, p.y - q.y));
  }
  return worst;
}

class Recovery : public ::testing::TestWithParam<h_matrix_2d> {};

TEST_P(Recovery, FindsModelDespiteOutliers) {
  const h_matrix_2d& truth = GetParam();
  std::vector<Point2f> a, b;
  Scene(truth, a, b);
  std::mt19937 rng(kRobustFitSeed);
  h_matrix_2d fit(truth.type);
  std::vector<bool> inliers;
  ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, inliers, fit, rng));
  const double error = CornerError(fit, truth);
  std::cout << "type " << truth.type << " corner error " << error << " px\n";
  EXPECT_LT(error, truth.type == kPerspective ? 0.5 : 0.2);
  int clean = 0;
  for (size_t i = 0; i < inliers.size(); ++i) clean += (i % 10 >= 3) && inliers[i];
  EXPECT_GE(clean, 68);
  // The accepted model maps the mask to a convex quad with positive orientation.
  const M_Matrix3 m = to_matrix3(fit);
  EXPECT_GT(m.Determinant(), 0);
  EXPECT_TRUE(is_plausible(kMask, m));
  M_Vector2T<double> corner{kMask.right, kMask.bottom};
  m.TransformPointAndDivide(&corner);
  const Point2d expect = fit(Point2d{kMask.right, kMask.bottom});
  EXPECT_NEAR(corner.x, expect.x, 1e-9);
  EXPECT_NEAR(corner.y, expect.y, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(FittedTypes, Recovery,
                         ::testing::Values(Model(kTranslation, {3.5, -2.25}), Model(kRigid, {12, -7, 0.05}),
                                           Model(kSimilarity, {-20, 15, -0.08, 1.06}),
                                           Model(kAffine, {4, 5, 1.03, 0.04, -0.02, 0.97}),
                                           Model(kPerspective, {1.02, 0.03, 5, -0.02, 0.99, -3, 2e-5, -3e-5, 1})),
                         [](const ::testing::TestParamInfo<h_matrix_2d>& info) {
                           return "Type" + std::to_string(info.param.type);
                         });

TEST(SamplePlan, ExhaustiveUpToBudgetThenRandom) {
  EXPECT_EQ(subset_count(2, 1), 2);
  EXPECT_EQ(subset_count(8, 3), 56);
  EXPECT_EQ(subset_count(4, 4), 1);
  EXPECT_EQ(subset_count(55, 2), 1485);
  EXPECT_EQ(subset_count(56, 2), 1540);
  for (const size_t n : {size_t{1500}, size_t{1501}}) {
    std::vector<Point2f> a, b;
    for (size_t i = 0; i < n; ++i) {
      b.push_back({static_cast<float>(i % 97), static_cast<float>(i / 97)});
      a.push_back({b.back().x + 2, b.back().y - 1});
    }
    std::mt19937 rng(kRobustFitSeed), untouched(kRobustFitSeed);
    h_matrix_2d fit(kTranslation);
    std::vector<bool> inliers;
    robust_fit_trace trace;
    ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, inliers, fit, rng, &trace));
    EXPECT_EQ(trace.exhaustive, n == 1500);
    EXPECT_EQ(trace.samples, 1u);  // every point explained at once
    EXPECT_EQ(rng == untouched, n == 1500);
    EXPECT_NEAR(fit.parameters[0], 2, 1e-9);
  }
}

TEST(SamplePlan, UnrelatedPointsFailOnlyInRandomMode) {
  // Exhaustive mode accepts its best sample; random mode never reaches the confidence.
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> u(0, 5000);
  for (const size_t n : {size_t{55}, size_t{56}}) {
    std::vector<Point2f> a, b;
    for (size_t i = 0; i < n; ++i) a.push_back({u(gen), u(gen)}), b.push_back({u(gen), u(gen)});
    std::mt19937 rng(kRobustFitSeed);
    h_matrix_2d fit(kSimilarity);
    std::vector<bool> inliers;
    EXPECT_EQ(robust_fit(robust_fit_options{}, a, b, inliers, fit, rng), n == 55);
  }
}

TEST(SamplePlan, DeterministicAndContinuesTheSequence) {
  const h_matrix_2d truth = Model(kPerspective, {1.02, 0.03, 5, -0.02, 0.99, -3, 2e-5, -3e-5, 1});
  std::vector<Point2f> a, b;
  Scene(truth, a, b);
  std::mt19937 r1(kRobustFitSeed), r2(kRobustFitSeed);
  h_matrix_2d f1(kPerspective), f2(kPerspective);
  std::vector<bool> i1, i2;
  robust_fit_trace trace;
  ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, i1, f1, r1, &trace));
  ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, i2, f2, r2));
  EXPECT_EQ(f1.parameters, f2.parameters);
  EXPECT_EQ(i1, i2);
  // Each random sample shuffles with n - 1 draws; a retry starts where the fit left off.
  std::mt19937 skipped(kRobustFitSeed);
  skipped.discard(trace.samples * 99);
  EXPECT_EQ(r1, skipped);
  std::mt19937 copy = r1;
  h_matrix_2d g1(kPerspective), g2(kPerspective);
  ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, i1, g1, r1));
  ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, i2, g2, copy));
  EXPECT_EQ(g1.parameters, g2.parameters);
}

TEST(SamplePlan, SmallSetsEndEarlyAndAverage) {
  std::mt19937 rng(kRobustFitSeed);
  std::vector<bool> inliers;
  robust_fit_trace trace;
  h_matrix_2d t(kTranslation);
  ASSERT_TRUE(robust_fit(robust_fit_options{}, {{11, 20}, {12, 21.5}}, {{10, 20}, {10, 20}}, inliers, t, rng, &trace));
  EXPECT_TRUE(trace.exhaustive);
  EXPECT_DOUBLE_EQ(t.parameters[0], 1.5);
  EXPECT_DOUBLE_EQ(t.parameters[1], 0.75);

  const h_matrix_2d truth = Model(kSimilarity, {3, 4, 0.3, 1.2});
  std::vector<Point2f> a, b;
  for (int i = 0; i < 20; ++i) {
    b.push_back({static_cast<float>(i * 7 % 13), static_cast<float>(i * 5 % 11)});
    const Point2d q = truth(Point2d{b.back().x, b.back().y});
    a.push_back({static_cast<float>(q.x), static_cast<float>(q.y)});
  }
  h_matrix_2d s(kSimilarity);
  ASSERT_TRUE(robust_fit(robust_fit_options{}, a, b, inliers, s, rng, &trace));
  EXPECT_EQ(trace.samples, 1u);
  EXPECT_NEAR(s.parameters[3], 1.2, 1e-5);
}

TEST(ModelType, LevelCountAndArea) {
  qrs::ClearDebugValues();
  EXPECT_EQ(choose_model_type(4, 100, 1.0), kPerspective);
  EXPECT_EQ(choose_model_type(9, 100, 1.0), kPerspective);
  EXPECT_EQ(choose_model_type(4, 8, 1.0), kAffine);
  EXPECT_EQ(choose_model_type(4, 5, 1.0), kSimilarity);
  EXPECT_EQ(choose_model_type(4, 4, 1.0), kRigid);
  EXPECT_EQ(choose_model_type(4, 2, 1.0), kTranslation);
  EXPECT_EQ(choose_model_type(1, 100, 1.0), kRigid);
  EXPECT_EQ(choose_model_type(0, 100, 1.0), kTranslation);
  EXPECT_EQ(choose_model_type(4, 100, 0.5), kSimilarity);
  EXPECT_EQ(choose_model_type(4, 100, 0.1), kTranslation);
  // Features over a tenth of the mask's box.
  const M_FloatRect features{120, 100, 160, 380};
  EXPECT_NEAR(area_score(features, kMask), 0.1, 1e-12);
  EXPECT_EQ(area_score(features, M_FloatRect{5, 5, 5, 50}), 1.0);  // a mask without area
  EXPECT_EQ(area_score(features, M_FloatRect{0, 0, INFINITY, 50}), 1.0);
  EXPECT_EQ(area_score(M_FloatRect{}, kMask), 0.0);  // no features: no area
  qrs::SetDebugValue("RMTUseAreaScore", "0");
  EXPECT_EQ(choose_model_type(4, 100, 0.1), kPerspective);
  EXPECT_EQ(choose_model_type(4, 2, 0.1), kTranslation);
  qrs::ClearDebugValues();
}

TEST(Plausibility, RejectsMirrorAndFoldOver) {
  M_Matrix3 id;
  id.SetIdentity();
  EXPECT_TRUE(is_plausible(kMask, id));
  // Folds the rectangle: its right edge crosses the line at infinity.
  const M_Matrix3 fold = to_matrix3(Model(kPerspective, {1, 0, 0, 0, 1, 0, -0.003, 0, 1}));
  EXPECT_FALSE(is_plausible(kMask, fold));
  EXPECT_TRUE(is_plausible(M_FloatRect{10, 10, 10, 40}, fold));

  // Mirrored features: the affine fit flips orientation, so the driver settles on a simpler type.
  std::vector<Point2f> a, b;
  for (int i = 0; i < 30; ++i) {
    b.push_back({static_cast<float>(150 + i * 13 % 300), static_cast<float>(120 + i * 29 % 250)});
    a.push_back({640 - b.back().x, b.back().y});
  }
  std::mt19937 rng(kRobustFitSeed);
  const M_Matrix3 m = fit_frame_motion(robust_fit_options{}, 3, a, b, 1.0, kMask, rng);
  EXPECT_GT(m.Determinant(), 0);
  EXPECT_TRUE(is_plausible(kMask, m));
}

TEST(Degenerate, RejectedOrSimplerNeverNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<Point2f> same(12, Point2f{50, 60});
  std::vector<Point2f> line, shifted;
  for (int i = 0; i < 12; ++i) line.push_back({10.f * i, 5.f * i + 3}), shifted.push_back({10.f * i + 1, 5.f * i + 5});
  // Three collinear points plus one: no projective map through the quadruple.
  const std::vector<Point2f> quad_b{{0, 0}, {10, 0}, {20, 0}, {5, 9}}, quad_a{{1, 1}, {11, 1}, {21, 1}, {6, 10}};
  std::vector<Point2f> poisoned = shifted;
  poisoned[3] = {nan, 4}, poisoned[7] = {inf, -inf};
  const std::vector<Point2f> all_nan(12, Point2f{nan, nan});

  std::vector<bool> inliers;
  for (const int32_t type : {kRigid, kSimilarity, kAffine, kPerspective}) {
    SCOPED_TRACE(type);
    std::mt19937 rng(kRobustFitSeed);
    h_matrix_2d h(type);
    EXPECT_EQ(robust_fit(robust_fit_options{}, same, same, inliers, h, rng), type == kRigid);
    EXPECT_FALSE(robust_fit(robust_fit_options{}, all_nan, line, inliers, h, rng));
    EXPECT_FALSE(robust_fit(robust_fit_options{}, {{1, 2}}, {{1, 2}}, inliers, h, rng));
    if (type >= kAffine) {
      EXPECT_FALSE(robust_fit(robust_fit_options{}, shifted, line, inliers, h, rng));
    }
  }
  std::mt19937 rng(kRobustFitSeed);
  h_matrix_2d h(kPerspective);
  EXPECT_FALSE(robust_fit(robust_fit_options{}, quad_a, quad_b, inliers, h, rng));
  h_matrix_2d t(kTranslation);
  ASSERT_TRUE(robust_fit(robust_fit_options{}, poisoned, line, inliers, t, rng));
  EXPECT_FALSE(inliers[3] || inliers[7]);
  EXPECT_DOUBLE_EQ(t.parameters[0], 1);
  EXPECT_DOUBLE_EQ(t.parameters[1], 2);
  h_matrix_2d bad(kUniformScale + 7);
  EXPECT_THROW(robust_fit(robust_fit_options{}, line, line, inliers, bad, rng), std::invalid_argument);

  // The driver always ends in a finite matrix.
  using Pair = std::pair<const std::vector<Point2f>*, const std::vector<Point2f>*>;
  for (const Pair& c : {Pair{&same, &same}, Pair{&all_nan, &same}, Pair{&poisoned, &line}, Pair{&quad_a, &quad_b}}) {
    for (int32_t level = 0; level <= 4; ++level) {
      const M_Matrix3 m = fit_frame_motion(robust_fit_options{}, level, *c.first, *c.second, 1.0, kMask, rng);
      for (const auto& row : m.m)
        for (double v : row) EXPECT_TRUE(std::isfinite(v));
      EXPECT_GT(m.Determinant(), 0);
    }
  }
}

TEST(FrameMotion, RejectionsDropTheLevelAndRepeatACappedType) {
  // Four correspondences that no model accepts: level 3 is capped to rigid by the count; the
  // level then drops to 1 (rigid again, with the generator's later numbers), then to 0.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Point2f> a(4, Point2f{nan, nan}), b{{0, 0}, {10, 0}, {0, 10}, {10, 10}};
  std::mt19937 rng(kRobustFitSeed);
  std::vector<int32_t> attempts;
  const M_Matrix3 m = fit_frame_motion(robust_fit_options{}, 3, a, b, 1.0, kMask, rng, &attempts);
  EXPECT_EQ(attempts, (std::vector<int32_t>{kRigid, kRigid, kTranslation}));
  EXPECT_EQ(m.m[0][0], 1);
  EXPECT_EQ(m.m[2][0], 0);
  attempts.clear();
  fit_frame_motion(robust_fit_options{}, 4, std::vector<Point2f>(12, Point2f{nan, nan}), std::vector<Point2f>(12), 1.0,
                   kMask, rng, &attempts);
  EXPECT_EQ(attempts, (std::vector<int32_t>{kPerspective, kRigid, kTranslation}));
}

// Correspondences a ~ truth(b) with `noise` px, b uniform in the rectangle (x0, y0)-(x1, y1).
void Patch(const h_matrix_2d& truth, double x0, double y0, double x1, double y1, double noise, std::vector<Point2f>& a,
           std::vector<Point2f>& b) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> ux(x0, x1), uy(y0, y1);
  std::normal_distribution<double> jitter(0, noise);
  for (int i = 0; i < 80; ++i) {
    const Point2d p{ux(gen), uy(gen)};
    const Point2d q = truth(p);
    b.push_back({float(p.x), float(p.y)});
    a.push_back({float(q.x + jitter(gen)), float(q.y + jitter(gen))});
  }
}

// A shift seen by 70 features, 25 of which drift together by 1.2 px (within the inlier
// threshold): the median holds to the 45, a mean goes a third of the way with the 25.
TEST(Translation, TheShiftIsTheMedianOfTheInliers) {
  std::mt19937 gen(9);
  std::normal_distribution<double> noise(0, 0.1);
  std::vector<Point2f> a, b;
  for (int i = 0; i < 70; ++i) {
    const float x = float(100 + 5 * i), y = float(200 + 3 * (i % 11));
    const double off = i % 3 == 0 && i < 75 ? 1.2 : 0.0;
    b.push_back({x, y});
    a.push_back({float(x + 2.5 + off + noise(gen)), float(y - 1.0 + noise(gen))});
  }
  const auto shift = [&] {
    std::mt19937 rng(kRobustFitSeed);
    std::vector<bool> inliers;
    h_matrix_2d model(kTranslation);
    EXPECT_TRUE(robust_fit(robust_fit_options{}, a, b, inliers, model, rng));
    return model.parameters[0];
  };
  EXPECT_NEAR(shift(), 2.5, 0.1);
  qrs::SetDebugValue("RMTMedianShift", "0");
  EXPECT_GT(shift(), 2.8);  // the documented mean
  qrs::SetDebugValue("RMTMedianShift", "1");
}

TEST(CornerError, GrowsAwayFromTheFeaturesAndWithTheirNoise) {
  const h_matrix_2d truth = Model(kAffine, {3, -2, 1.01, 0.02, -0.01, 0.99});
  std::vector<Point2f> a, b;
  Patch(truth, 120, 300, 220, 380, 0.3, a, b);  // one corner of kMask
  std::vector<Point2d> pa, pb;
  for (size_t i = 0; i < a.size(); ++i) pa.push_back({a[i].x, a[i].y}), pb.push_back({b[i].x, b[i].y});
  const double near = predicted_corner_error(truth, pa, pb, {{170, 340}});
  const double far = predicted_corner_error(truth, pa, pb, {{520, 100}});
  EXPECT_GT(near, 0.02);
  EXPECT_LT(near, 0.15);  // the centre of 80 features of 0.3 px noise
  EXPECT_GT(far, 10 * near);
  // Without noise nothing is uncertain; with too few correspondences everything is.
  std::vector<Point2d> exact;
  for (const Point2d& q : pb) exact.push_back(truth(q));
  EXPECT_NEAR(predicted_corner_error(truth, exact, pb, {{520, 100}}), 0, 1e-6);
  EXPECT_TRUE(std::isinf(predicted_corner_error(truth, {exact[0], exact[1]}, {pb[0], pb[1]}, {{0, 0}})));
}

TEST(FrameMotion, RicherModelsOnlyWhereTheFeaturesCarryThemToTheMasksCorners) {
  std::vector<int32_t> attempts;
  std::mt19937 rng(kRobustFitSeed);
  // A similarity seen through features in one corner of the mask: a perspective fitted to them
  // says little about the far corners, so the step settles on similarity.
  const h_matrix_2d turn = Model(kSimilarity, {4, 1, 0.01, 1.01});
  std::vector<Point2f> a, b;
  Patch(turn, 120, 330, 180, 380, 0.5, a, b);
  fit_frame_motion(robust_fit_options{}, 4, a, b, 1.0, kMask, rng, &attempts);
  EXPECT_EQ(attempts, (std::vector<int32_t>{kPerspective, kAffine, kSimilarity}));

  // A clear tilt seen all over the mask keeps its perspective.
  const h_matrix_2d tilt = Model(kPerspective, {1, 0.05, 2, 0.02, 1, -1, 4e-4, 1e-4, 1});
  a.clear(), b.clear(), attempts.clear();
  Patch(tilt, 120, 100, 520, 380, 0.3, a, b);
  const M_Matrix3 m = fit_frame_motion(robust_fit_options{}, 4, a, b, 1.0, kMask, rng, &attempts);
  EXPECT_EQ(attempts, (std::vector<int32_t>{kPerspective}));
  EXPECT_NEAR(m.m[0][2], 4e-4, 5e-5);  // row-vector form: the projective terms in the last column

  // The box-ratio rule stays reachable: features over a third of the mask's box cap the model
  // at similarity before any fit.
  qrs::SetDebugValue("RMTModelByCornerError", "0");
  attempts.clear();
  fit_frame_motion(robust_fit_options{}, 4, a, b, 0.3, kMask, rng, &attempts);
  EXPECT_EQ(attempts, (std::vector<int32_t>{kSimilarity}));
  qrs::SetDebugValue("RMTModelByCornerError", "1");
}

}  // namespace
}  // namespace vantor::tracking
