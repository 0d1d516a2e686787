// The overlay's outline stroked through the host's drawing suites against one cairo stroke of the
// whole path: a star of n spikes winding seven times round the centre of a 400x400 view, so that
// every spike crosses many others. cairo alone is timed up to 10,000 spikes (100,000 take about
// 40 s); the suites stroke such paths in pieces.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "host/suites/drawing_suites.h"

namespace {

constexpr int kSide = 400;

std::vector<FxDrawPoint> Star(int64_t spikes) {
  std::vector<FxDrawPoint> points;
  for (int64_t i = 0; i <= spikes; ++i) {
    const double a = 2 * std::numbers::pi * 7 * double(i) / double(spikes), r = i % 2 ? 20 : 190;
    points.push_back({float(kSide / 2 + r * std::cos(a)), float(kSide / 2 + r * std::sin(a))});
  }
  return points;
}

void BM_SuitesStroke(benchmark::State& state) {
  const std::vector<FxDrawPoint> star = Star(state.range(0));
  const FxDrawColor color{0.25f, 0.8f, 0.95f, 1};
  for (auto _ : state) {
    host::OverlayCanvas canvas(kSide, kSide);
    FxSupplierRef supplier = nullptr;
    FxSurfaceRef surface = nullptr;
    host::DrawSuite()->GetSupplier(canvas.draw_ref(), &supplier);
    host::DrawSuite()->GetSurface(canvas.draw_ref(), &surface);
    FxPenRef pen = nullptr;
    FxPathRef path = nullptr;
    host::SupplierSuite()->NewPen(supplier, &color, 2, &pen);
    host::SupplierSuite()->NewPath(supplier, &path);
    host::PathSuite()->MoveTo(path, star[0].x, star[0].y);
    for (size_t i = 1; i < star.size(); ++i) host::PathSuite()->LineTo(path, star[i].x, star[i].y);
    benchmark::DoNotOptimize(host::SurfaceSuite()->StrokePath(surface, pen, path));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SuitesStroke)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMillisecond)->Complexity();

void BM_CairoWholeStroke(benchmark::State& state) {
  const std::vector<FxDrawPoint> star = Star(state.range(0));
  for (auto _ : state) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
    cairo_t* cr = cairo_create(surface);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_BEST);
    cairo_set_line_width(cr, 2);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_source_rgb(cr, 0.25, 0.8, 0.95);
    cairo_move_to(cr, star[0].x, star[0].y);
    for (size_t i = 1; i < star.size(); ++i) cairo_line_to(cr, star[i].x, star[i].y);
    cairo_stroke(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CairoWholeStroke)->RangeMultiplier(10)->Range(1000, 10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
