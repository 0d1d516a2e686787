// Robust model fitting on 100 correspondences, 30% of them gross outliers and the rest with
// 0.3 px noise: our fit of a similarity, an affine map and a homography against OpenCV's
// estimateAffinePartial2D, estimateAffine2D and findHomography (random sample consensus), on the
// same points in the same run, single-threaded. Corner errors on a mask box are printed beside
// the times.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "motion/robust_fit.h"

namespace {

using vantor::tracking::h_matrix_2d;
using vantor::tracking::Point2d;
using vantor::tracking::Point2f;

struct Scene {
  h_matrix_2d truth;
  std::vector<Point2f> from, to;  // to[i] ~ truth(from[i])
};

Scene MakeScene(int32_t type) {
  Scene s;
  s.truth = h_matrix_2d(type);
  auto& p = s.truth.parameters;
  if (type == 5) p = {12.5, -7.25, 0.05, 1.03};
  if (type == 6) p = {10, -5, 1.02, 0.04, -0.03, 0.98};
  if (type == 7) p = {1.01, 0.02, 8, -0.015, 0.99, -4, 2e-5, -1.5e-5, 1};
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> x(100, 540), y(80, 400), far(0, 640);
  std::normal_distribution<float> noise(0, 0.3f);
  for (int i = 0; i < 100; ++i) {
    const Point2f a{x(rng), y(rng)};
    const Point2d b = s.truth({a.x, a.y});
    s.from.push_back(a);
    s.to.push_back(i % 10 < 3 ? Point2f{far(rng), far(rng)}
                              : Point2f{float(b.x) + noise(rng), float(b.y) + noise(rng)});
  }
  return s;
}

const Scene& SceneOf(int32_t type) {
  static std::map<int32_t, Scene> scenes;
  auto it = scenes.find(type);
  if (it == scenes.end()) it = scenes.emplace(type, MakeScene(type)).first;
  return it->second;
}

h_matrix_2d OursFit(const Scene& s, int32_t type) {
  h_matrix_2d model(type);
  std::vector<bool> inliers;
  std::mt19937 rng(vantor::tracking::kRobustFitSeed);
  vantor::tracking::robust_fit({}, s.to, s.from, inliers, model, rng);
  return model;
}

cv::Mat CvFit(const Scene& s, int32_t type) {
  std::vector<cv::Point2f> a, b;
  for (size_t i = 0; i < s.from.size(); ++i) {
    a.emplace_back(s.from[i].x, s.from[i].y);
    b.emplace_back(s.to[i].x, s.to[i].y);
  }
  if (type == 5) return cv::estimateAffinePartial2D(a, b, cv::noArray(), cv::RANSAC, 3.0);
  if (type == 6) return cv::estimateAffine2D(a, b, cv::noArray(), cv::RANSAC, 3.0);
  return cv::findHomography(a, b, cv::RANSAC, 3.0);
}

void BM_Ours(benchmark::State& state) {
  const int32_t type = int32_t(state.range(0));
  const Scene& s = SceneOf(type);
  for (auto _ : state) benchmark::DoNotOptimize(OursFit(s, type));
}

void BM_OpenCV(benchmark::State& state) {
  cv::setNumThreads(1);
  const int32_t type = int32_t(state.range(0));
  const Scene& s = SceneOf(type);
  for (auto _ : state) benchmark::DoNotOptimize(CvFit(s, type));
}

BENCHMARK(BM_Ours)->Arg(5)->Arg(6)->Arg(7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCV)->Arg(5)->Arg(6)->Arg(7)->Unit(benchmark::kMicrosecond);

// Largest distance between the fitted and the true images of the mask box's corners.
double CornerError(const Scene& s, const std::function<Point2d(Point2d)>& fitted) {
  double worst = 0;
  for (const Point2d c : {Point2d{120, 100}, Point2d{520, 100}, Point2d{520, 380}, Point2d{120, 380}}) {
    const Point2d t = s.truth(c), f = fitted(c);
    worst = std::max(worst, std::hypot(t.x - f.x, t.y - f.y));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\ntype          ours us  OpenCV us  ours/OpenCV  ours corner px  OpenCV corner px\n");
  const char* names[] = {"", "", "", "", "", "similarity", "affine", "perspective"};
  for (int32_t type : {5, 6, 7}) {
    const Scene& s = SceneOf(type);
    const h_matrix_2d ours = OursFit(s, type);
    const cv::Mat m = CvFit(s, type);
    const double ours_err = CornerError(s, [&](Point2d p) { return ours(p); });
    const double cv_err = m.empty() ? -1 : CornerError(s, [&](Point2d p) {
      const double w = m.rows == 3 ? m.at<double>(2, 0) * p.x + m.at<double>(2, 1) * p.y + m.at<double>(2, 2) : 1.0;
      return Point2d{(m.at<double>(0, 0) * p.x + m.at<double>(0, 1) * p.y + m.at<double>(0, 2)) / w,
                     (m.at<double>(1, 0) * p.x + m.at<double>(1, 1) * p.y + m.at<double>(1, 2)) / w};
    });
    const double t_ours = reporter.get("BM_Ours/" + std::to_string(type));
    const double t_cv = reporter.get("BM_OpenCV/" + std::to_string(type));
    std::printf("%-12s %8.1f %10.1f %12.3f %15.3f %17.3f\n", names[type], t_ours, t_cv, t_cv > 0 ? t_ours / t_cv : 0,
                ours_err, cv_err);
  }
  return 0;
}
