// One 1920x1080 frame masked end to end: our ComposeMatte (scan conversion, feather, alpha) for
// 8-bit 'bgra' and float 'BGra' frames, against the same matte made with OpenCV (anti-aliased
// fillPoly of the flattened outline, GaussianBlur with sigma = feather / 2.71, alpha written
// into the frame by insertChannel), at feathers 0, 10, 100 and 300. The table at the end gives ours/OpenCV.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "mask/mask_geometry.h"
#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "render/mask_outline.h"
#include "render/render_frame.h"
#include "services/component_broker.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr double kPi = 3.14159265358979323846;

// A smooth blob of eight curve vertices over most of the frame, normalised to the layer.
const Mask::MaskShape& Shape() {
  static const Mask::MaskShape shape = [] {
    Mask::MaskShape s;
    const int n = 8;
    for (int i = 0; i < n; ++i) {
      const double a = 2 * kPi * i / n;
      const double r = 0.42 * (1 + 0.12 * std::sin(3 * a));
      const float x = float(0.5 + r * std::cos(a)), y = float(0.5 + r * std::sin(a));
      const double t = 0.16;  // tangent length, along the circle's tangent
      const float dx = float(-std::sin(a) * t), dy = float(std::cos(a) * t);
      Mask::AppendCurveVertex(s, {x, y}, {x - dx, y - dy}, {x + dx, y + dy});
    }
    return s;
  }();
  return shape;
}

void StartComponents() {
  static const bool started = [] {
    const QuillProcGetter getter = InitQuillComponents();
    mask_effect::InitializeBrokerClient(getter);
    TQE_Initialize(getter);
    mask_effect::ResolveOffsetPathProcs();
    return true;
  }();
  (void)started;
}

void BM_Ours(benchmark::State& state, bool is_float) {
  StartComponents();
  const double feather = double(state.range(0)) / double(state.range(1));
  std::vector<uint8_t> frame(size_t(kW) * kH * (is_float ? 16 : 4), 0x40);
  const mask_render::AlphaTarget out{frame.data(), int64_t(kW) * (is_float ? 16 : 4), kW, kH, is_float};
  for (auto _ : state) {
    mask_render::ComposeMatte(Shape(), out, kW, kH, kW, kH, {1, 1}, {1, 1}, {1, 1}, false, feather, 1.0f, 0.0f);
    benchmark::DoNotOptimize(frame.data());
  }
}

// The outline as OpenCV polygons: cubics cut into 32 straight pieces, coordinates with 8
// fractional bits for the anti-aliased fill.
std::vector<std::vector<cv::Point>> Polygons() {
  StartComponents();
  std::vector<Mask::MaskVertex> placed;
  Mask::PlaceInPixels(Shape(), kW, kH, placed);
  mask_render::OutlineRecorder rec;
  mask_render::BuildMaskOutline(rec, placed);
  std::vector<std::vector<cv::Point>> polys;
  const auto fixed = [](float x, float y) { return cv::Point(int(std::lround(x * 256)), int(std::lround(y * 256))); };
  quill::PathPoint last{};
  for (size_t i = 0; i < rec.count(); ++i) {
    const quill::PathPoint p = rec.points()[i];
    switch (rec.codes()[i]) {
      case quill::kPathMoveTo:
        polys.emplace_back();
        polys.back().push_back(fixed(p.x, p.y));
        last = p;
        break;
      case quill::kPathLineTo:
        polys.back().push_back(fixed(p.x, p.y));
        last = p;
        break;
      case quill::kPathCurvePoint: {
        const quill::PathPoint c1 = p, c2 = rec.points()[i + 1], e = rec.points()[i + 2];
        for (int k = 1; k <= 32; ++k) {
          const float t = k / 32.0f, u = 1 - t;
          polys.back().push_back(
              fixed(u * u * u * last.x + 3 * u * u * t * c1.x + 3 * u * t * t * c2.x + t * t * t * e.x,
                    u * u * u * last.y + 3 * u * u * t * c1.y + 3 * u * t * t * c2.y + t * t * t * e.y));
        }
        last = e;
        i += 2;
        break;
      }
      default: break;
    }
  }
  return polys;
}

void BM_OpenCV(benchmark::State& state, bool is_float) {
  const double feather = double(state.range(0));
  const auto polys = Polygons();
  std::vector<uint8_t> frame(size_t(kW) * kH * (is_float ? 16 : 4), 0x40);
  cv::Mat matte(kH, kW, CV_8UC1), blurred(kH, kW, CV_8UC1), scaled(kH, kW, CV_32FC1);
  for (auto _ : state) {
    matte.setTo(0);
    cv::fillPoly(matte, polys, cv::Scalar(255), cv::LINE_AA, 8);
    const cv::Mat* result = &matte;
    if (feather > 0) {
      cv::GaussianBlur(matte, blurred, cv::Size(0, 0), feather / 2.71, feather / 2.71, cv::BORDER_CONSTANT);
      result = &blurred;
    }
    // OpenCV's own channel insertion; float frames take the matte scaled to 0..1 first.
    if (is_float) {
      result->convertTo(scaled, CV_32F, 1.0 / 255);
      cv::Mat pixels(kH, kW, CV_32FC4, frame.data());
      cv::insertChannel(scaled, pixels, 3);
    } else {
      cv::Mat pixels(kH, kW, CV_8UC4, frame.data());
      cv::insertChannel(*result, pixels, 3);
    }
    benchmark::DoNotOptimize(frame.data());
  }
}

#define FEATHERS ->Arg(0)->Arg(10)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)
// Ours also at the ends of the feather's range, 0.5 and 1000 px (feather = first / second).
#define OURS_FEATHERS                                                                                 \
  ->Args({0, 1})->Args({10, 1})->Args({100, 1})->Args({300, 1})->Args({1, 2})->Args({1000, 1})->Unit( \
      benchmark::kMillisecond)
BENCHMARK_CAPTURE(BM_Ours, bgra, false) OURS_FEATHERS;
BENCHMARK_CAPTURE(BM_OpenCV, bgra, false) FEATHERS;
BENCHMARK_CAPTURE(BM_Ours, BGra, true) OURS_FEATHERS;
BENCHMARK_CAPTURE(BM_OpenCV, BGra, true) FEATHERS;

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nformat feather   ours ms  OpenCV ms  ours/OpenCV\n");
  for (const char* format : {"bgra", "BGra"}) {
    for (int feather : {0, 10, 100, 300}) {
      const std::string suffix = std::string("/") + format + "/" + std::to_string(feather);
      const double ours = reporter.get("BM_Ours" + suffix + "/1"), cv = reporter.get("BM_OpenCV" + suffix);
      if (std::isnan(ours) || std::isnan(cv)) continue;
      std::printf("%-6s %7d %9.3f %10.3f %12.3f\n", format, feather, ours, cv, ours / cv);
    }
    const double half = reporter.get(std::string("BM_Ours/") + format + "/1/2");
    const double thousand = reporter.get(std::string("BM_Ours/") + format + "/1000/1");
    std::printf("%-6s feather 0.5 %.3f ms, 1000 %.3f ms (ours only)\n", format, half, thousand);
  }
  return 0;
}
