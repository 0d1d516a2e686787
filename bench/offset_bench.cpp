// Offsetting a full-frame Bezier mask, the common case of a feathered or expanded mask.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/graphics/offset_path.h"

namespace {

// A wobbly closed blob of eight cubics spanning most of a 1920x1080 frame.
struct Mask {
  std::vector<quill::PathPoint> points;
  std::vector<uint32_t> codes;

  Mask() {
    constexpr int kArcs = 8;
    constexpr double kPi = 3.14159265358979323846;
    const auto at = [](int i) {
      const double a = 2 * kPi * i / kArcs, wobble = i % 2 ? 0.85 : 1.0;
      return quill::PathPoint{static_cast<float>(960 + 880 * wobble * std::cos(a)),
                              static_cast<float>(540 + 480 * wobble * std::sin(a))};
    };
    const auto add = [&](uint32_t code, quill::PathPoint p) {
      points.push_back(p);
      codes.push_back(code);
    };
    add(quill::kPathMoveTo, at(0));
    for (int i = 0; i < kArcs; ++i) {
      const quill::PathPoint a = at(i), b = at(i + 1);
      // Controls a third of the way along, pushed outward, so each arc bulges.
      const float ox = (a.x + b.x) / 2 - 960, oy = (a.y + b.y) / 2 - 540;
      add(quill::kPathCurvePoint,
          {a.x + (b.x - a.x) / 3 + 0.3f * ox, a.y + (b.y - a.y) / 3 + 0.3f * oy});
      add(quill::kPathCurvePoint,
          {b.x - (b.x - a.x) / 3 + 0.3f * ox, b.y - (b.y - a.y) / 3 + 0.3f * oy});
      add(quill::kPathCurvePoint, b);
    }
    add(quill::kPathClose, at(0));
  }
  quill::PathView View() const {
    return {points.data(), codes.data(), static_cast<int32_t>(codes.size())};
  }
};

int32_t CountSegment(float, float, float, float, float, float, int32_t, void* user) {
  ++*static_cast<int64_t*>(user);
  return 0;
}

void BM_OffsetMask(benchmark::State& state) {
  const Mask mask;
  const float distance = static_cast<float>(state.range(0));
  int64_t segments = 0;
  for (auto _ : state) {
    segments = 0;
    const int32_t rc = quill::OffsetOutline(mask.View(), distance, CountSegment, &segments);
    benchmark::DoNotOptimize(rc);
  }
  state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_OffsetMask)->Arg(10)->Arg(200)->Arg(-10)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
