// Growing and shrinking mask outlines of 100 to 100,000 vertices: a smooth Bezier blob and a
// self-intersecting star, at several distances. The peer is OpenCV filling the same polygon into
// a raster that holds the result and thresholding its exact Euclidean distance transform, which
// costs the same whatever the vertex count. The table at the end gives ours/OpenCV per case.
#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "platform/graphics/offset_path.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Outline {
  std::vector<quill::PathPoint> points;
  std::vector<uint32_t> codes;
  std::vector<cv::Point> polygon;  // the vertices, for the peer

  void Add(uint32_t code, double x, double y) {
    points.push_back({static_cast<float>(x), static_cast<float>(y)});
    codes.push_back(code);
  }
  quill::PathView View() const { return {points.data(), codes.data(), static_cast<int32_t>(codes.size())}; }
};

// A wobbly blob spanning most of a 1920x1080 frame through n curve vertices, each cubic's
// controls a third of the way along the tangents.
Outline Smooth(int n) {
  const auto at = [](double t, double& x, double& y, double& dx, double& dy) {
    const double r = 1 + 0.12 * std::sin(5 * t) + 0.05 * std::sin(13 * t);
    const double dr = 0.6 * std::cos(5 * t) + 0.65 * std::cos(13 * t);
    x = 960 + 820 * r * std::cos(t), y = 540 + 440 * r * std::sin(t);
    dx = 820 * (dr * std::cos(t) - r * std::sin(t)), dy = 440 * (dr * std::sin(t) + r * std::cos(t));
  };
  Outline o;
  const double step = 2 * kPi / n;
  double x0, y0, dx0, dy0;
  at(0, x0, y0, dx0, dy0);
  o.Add(quill::kPathMoveTo, x0, y0);
  for (int i = 0; i < n; ++i) {
    double x1, y1, dx1, dy1;
    at((i + 1) * step, x1, y1, dx1, dy1);
    o.Add(quill::kPathCurvePoint, x0 + dx0 * step / 3, y0 + dy0 * step / 3);
    o.Add(quill::kPathCurvePoint, x1 - dx1 * step / 3, y1 - dy1 * step / 3);
    o.Add(quill::kPathCurvePoint, x1, y1);
    o.polygon.emplace_back(static_cast<int>(std::lround(x0)), static_cast<int>(std::lround(y0)));
    x0 = x1, y0 = y1, dx0 = dx1, dy0 = dy1;
  }
  o.Add(quill::kPathClose, o.points[0].x, o.points[0].y);
  return o;
}

// n corners alternating between two radii, winding three times round the centre, so the
// outline crosses itself everywhere.
Outline Star(int n) {
  Outline o;
  for (int i = 0; i < n; ++i) {
    const double a = 2 * kPi * 3 * i / n, r = i % 2 ? 200 : 480;
    const double x = 960 + r * std::cos(a), y = 540 + r * std::sin(a);
    o.Add(i ? quill::kPathLineTo : quill::kPathMoveTo, x, y);
    o.polygon.emplace_back(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)));
  }
  o.Add(quill::kPathClose, o.points[0].x, o.points[0].y);
  return o;
}

const Outline& Shape(int64_t kind, int64_t n) {
  static std::vector<std::pair<int64_t, Outline>> made;
  const int64_t key = kind * 1000000000 + n;
  for (const auto& [k, o] : made)
    if (k == key) return o;
  made.emplace_back(key, kind == 0 ? Smooth(static_cast<int>(n)) : Star(static_cast<int>(n)));
  return made.back().second;
}

// The cases the service refused (kZPRErrTooComplex), by benchmark name.
std::set<std::string>& Refused() {
  static std::set<std::string> names;
  return names;
}

int32_t CountSegment(float, float, float, float, float, float, int32_t, void* user) {
  ++*static_cast<int64_t*>(user);
  return 0;
}

// Arguments: shape (0 smooth, 1 star), vertex count, distance.
void BM_Ours(benchmark::State& state) {
  const Outline& outline = Shape(state.range(0), state.range(1));
  const float distance = static_cast<float>(state.range(2));
  int64_t segments = 0;
  for (auto _ : state) {
    segments = 0;
    if (quill::OffsetOutline(outline.View(), distance, CountSegment, &segments) == kZPRErrTooComplex) {
      Refused().insert("BM_Ours/" + std::to_string(state.range(0)) + "/" + std::to_string(state.range(1)) + "/" +
                       std::to_string(state.range(2)));
      state.SkipWithError("refused as too intricate");
      break;
    }
  }
  state.counters["segments"] = static_cast<double>(segments);
}

// The same region on a raster: the polygon filled with non-zero winding, then every pixel within
// the distance of it (growing) or at least that far inside (shrinking) by the distance transform.
void BM_OpenCV(benchmark::State& state) {
  const Outline& outline = Shape(state.range(0), state.range(1));
  const int distance = static_cast<int>(state.range(2));
  const int margin = std::max(distance, 0) + 2;
  cv::Mat filled, field, result;
  for (auto _ : state) {
    filled = cv::Mat::zeros(1080 + 2 * margin, 1920 + 2 * margin, CV_8U);
    const cv::Point* pts = outline.polygon.data();
    const int count = static_cast<int>(outline.polygon.size());
    cv::fillPoly(filled, &pts, &count, 1, cv::Scalar(255), cv::LINE_8, 0, cv::Point(margin, margin));
    if (distance > 0) {
      cv::distanceTransform(255 - filled, field, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    } else {
      cv::distanceTransform(filled, field, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    }
    cv::threshold(field, result, std::abs(distance), 255, distance > 0 ? cv::THRESH_BINARY_INV : cv::THRESH_BINARY);
    benchmark::DoNotOptimize(result.data);
  }
}

struct Case {
  int64_t kind, n, distance;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = [] {
    std::vector<Case> out;
    for (int64_t n : {100, 1000, 10000, 100000}) {
      for (int64_t d : {10, 300, -30}) out.push_back({0, n, d});
      for (int64_t d : {10, 1000, -30}) out.push_back({1, n, d});
    }
    return out;
  }();
  return cases;
}

std::string Suffix(const Case& c) {
  return "/" + std::to_string(c.kind) + "/" + std::to_string(c.n) + "/" + std::to_string(c.distance);
}

}  // namespace

int main(int argc, char** argv) {
  for (const Case& c : Cases()) {
    benchmark::RegisterBenchmark("BM_Ours", BM_Ours)->Args({c.kind, c.n, c.distance})->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_OpenCV", BM_OpenCV)
        ->Args({c.kind, c.n, c.distance})
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nshape   vertices distance   ours ms  OpenCV ms  ours/OpenCV\n");
  for (const Case& c : Cases()) {
    const double ours = reporter.get("BM_Ours" + Suffix(c)), cv = reporter.get("BM_OpenCV" + Suffix(c));
    if (std::isnan(ours) && std::isnan(cv)) continue;
    if (Refused().count("BM_Ours" + Suffix(c))) {
      std::printf("%-6s %9lld %8lld   refused %10.2f\n", c.kind ? "star" : "smooth", static_cast<long long>(c.n),
                  static_cast<long long>(c.distance), cv);
      continue;
    }
    std::printf("%-6s %9lld %8lld %9.2f %10.2f %12.2f\n", c.kind ? "star" : "smooth", static_cast<long long>(c.n),
                static_cast<long long>(c.distance), ours, cv, ours / cv);
  }
  benchmark::Shutdown();
  return 0;
}
