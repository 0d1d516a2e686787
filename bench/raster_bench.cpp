// Scan conversion of one Bezier mask at 1920x1080: ours (runs into a full matte) against cairo
// (an A8 surface cleared and filled). The last line gives the ours/cairo time ratio; before the
// timings, a one-off check prints how far the two mattes differ.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/graphics/scan_converter.h"

namespace {

using quill::PathPoint;

constexpr int32_t kWidth = 1920, kHeight = 1080;
constexpr double kPi = 3.14159265358979323846;

struct MaskPath {
  std::vector<PathPoint> points;
  std::vector<uint32_t> codes;
};

// A closed blob through `count` points around (cx, cy) with wobbling radii, joined by cubics
// whose controls follow the neighbours' direction (smooth, organic, no self-crossing).
void AddBlob(MaskPath& path, double cx, double cy, double rx, double ry, int count, double phase) {
  std::vector<PathPoint> knots;
  for (int i = 0; i < count; ++i) {
    const double a = 2 * kPi * i / count + phase;
    const double wobble = 1 + 0.16 * std::sin(3 * a + 1.3) + 0.09 * std::cos(5 * a);
    knots.push_back(
        {static_cast<float>(cx + rx * wobble * std::cos(a)), static_cast<float>(cy + ry * wobble * std::sin(a))});
  }
  auto knot = [&](int i) { return knots[(i + count) % count]; };
  path.points.push_back(knots[0]);
  path.codes.push_back(quill::kPathMoveTo);
  for (int i = 0; i < count; ++i) {
    const PathPoint p0 = knot(i - 1), p1 = knot(i), p2 = knot(i + 1), p3 = knot(i + 2);
    path.points.push_back({p1.x + (p2.x - p0.x) / 6, p1.y + (p2.y - p0.y) / 6});
    path.points.push_back({p2.x - (p3.x - p1.x) / 6, p2.y - (p3.y - p1.y) / 6});
    path.points.push_back(p2);
    path.codes.insert(path.codes.end(), 3, quill::kPathCurvePoint);
  }
  path.points.push_back(knots[0]);
  path.codes.push_back(quill::kPathClose);
}

const MaskPath& Mask() {
  static const MaskPath mask = [] {
    MaskPath m;
    AddBlob(m, 960, 545, 905, 520, 8, 0.2);  // most of the frame
    AddBlob(m, 260, 170, 170, 120, 5, 0.7);  // a smaller one over its corner
    return m;
  }();
  return mask;
}

void RenderOurs(quill::ScanConverter& converter, uint8_t* matte) {
  const MaskPath& mask = Mask();
  converter.Reset({0, 0, kWidth, kHeight});
  converter.AddPath({mask.points.data(), mask.codes.data(), static_cast<int32_t>(mask.points.size())});
  quill::RenderCoverage(converter, matte, kWidth);
}

void RenderCairo(cairo_t* cr) {
  const MaskPath& mask = Mask();
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_new_path(cr);
  for (size_t i = 0; i < mask.points.size(); ++i) {
    const PathPoint p = mask.points[i];
    switch (mask.codes[i]) {
      case quill::kPathMoveTo: cairo_move_to(cr, p.x, p.y); break;
      case quill::kPathLineTo: cairo_line_to(cr, p.x, p.y); break;
      case quill::kPathCurvePoint: {
        const PathPoint c2 = mask.points[i + 1], end = mask.points[i + 2];
        cairo_curve_to(cr, p.x, p.y, c2.x, c2.y, end.x, end.y);
        i += 2;
        break;
      }
      case quill::kPathClose: cairo_close_path(cr); break;
    }
  }
  cairo_fill(cr);
}

struct CairoTarget {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, kWidth, kHeight);
  cairo_t* cr = cairo_create(surface);
  ~CairoTarget() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
};

void BM_OursMask(benchmark::State& state) {
  quill::ScanConverter converter;
  std::vector<uint8_t> matte(static_cast<size_t>(kWidth) * kHeight);
  for (auto _ : state) {
    RenderOurs(converter, matte.data());
    benchmark::DoNotOptimize(matte.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_OursMask)->Unit(benchmark::kMillisecond);

void BM_CairoMask(benchmark::State& state) {
  CairoTarget target;
  for (auto _ : state) {
    RenderCairo(target.cr);
    cairo_surface_flush(target.surface);
    benchmark::DoNotOptimize(cairo_image_surface_get_data(target.surface));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CairoMask)->Unit(benchmark::kMillisecond);

// Once, untimed: the mean and largest byte difference between the two mattes.
void PrintAgreement() {
  quill::ScanConverter converter;
  std::vector<uint8_t> ours(static_cast<size_t>(kWidth) * kHeight);
  RenderOurs(converter, ours.data());
  CairoTarget target;
  RenderCairo(target.cr);
  cairo_surface_flush(target.surface);
  const uint8_t* theirs = cairo_image_surface_get_data(target.surface);
  const int stride = cairo_image_surface_get_stride(target.surface);
  double sum = 0, covered = 0;
  int worst = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int a = ours[static_cast<size_t>(y) * kWidth + x], b = theirs[y * stride + x];
      sum += std::abs(a - b);
      covered += a;
      worst = std::max(worst, std::abs(a - b));
    }
  }
  std::printf("mask covers %.1f%% of the frame\n", 100 * covered / 255 / (double{kWidth} * kHeight));
  std::printf("ours vs cairo: mean |difference| %.4f levels, largest %d\n", sum / (double{kWidth} * kHeight), worst);
}

// Prints the ordinary table, then the ratio of the median real times (the "median" aggregate
// where there are repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const double ms = run.GetAdjustedRealTime();
      if (run.run_type == Run::RT_Iteration) times_[run.run_name.function_name].push_back(ms);
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = ms;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double ours = Median("BM_OursMask"), cairo = Median("BM_CairoMask");
    if (ours > 0 && cairo > 0) {
      std::printf("ours %.3f ms, cairo %.3f ms, ours/cairo ratio %.3f\n", ours, cairo, ours / cairo);
    }
  }

 private:
  double Median(const std::string& name) {
    if (medians_.count(name) != 0) return medians_[name];
    std::vector<double>& t = times_[name];
    if (t.empty()) return 0;
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
  }
  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // On a shared machine the clock speed drifts; repeating the two benchmarks interleaved keeps
  // both in the same conditions, so the ratio holds even when the times wander. Flags given on
  // the command line come later and win.
  std::vector<char*> args = {argv[0]};
  char repetitions[] = "--benchmark_repetitions=6";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.end(), {repetitions, interleave, aggregates});
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  PrintAgreement();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
