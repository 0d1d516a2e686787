#include "platform/graphics/scan_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace quill {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kPi = 3.14159265358979323846;

struct Path {
  std::vector<PathPoint> points;
  std::vector<uint32_t> codes;

  Path& Add(uint32_t code, float x, float y) {
    points.push_back({x, y});
    codes.push_back(code);
    return *this;
  }
  Path& Polygon(std::initializer_list<PathPoint> corners) {
    for (const PathPoint& p : corners) {
      Add(&p == corners.begin() ? kPathMoveTo : kPathLineTo, p.x, p.y);
    }
    return Add(kPathClose, corners.begin()->x, corners.begin()->y);
  }
  Path& Rect(float x0, float y0, float x1, float y1) { return Polygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}); }
  Path& Cubic(float x1, float y1, float x2, float y2, float x3, float y3) {
    return Add(kPathCurvePoint, x1, y1).Add(kPathCurvePoint, x2, y2).Add(kPathCurvePoint, x3, y3);
  }
  // Four cubic arcs with the usual k; `turn` -1 runs them the other way round.
  Path& Circle(float cx, float cy, float r, float turn = 1) {
    const float k = 0.5522847498308f * r, s = turn * r, t = turn * k;
    Add(kPathMoveTo, cx + r, cy).Cubic(cx + r, cy + t, cx + k, cy + s, cx, cy + s);
    Cubic(cx - k, cy + s, cx - r, cy + t, cx - r, cy).Cubic(cx - r, cy - t, cx - k, cy - s, cx, cy - s);
    return Cubic(cx + k, cy - s, cx + r, cy - t, cx + r, cy).Add(kPathClose, cx + r, cy);
  }
  PathView View() const { return {points.data(), codes.data(), static_cast<int32_t>(points.size())}; }
};

struct Matte {
  ClipRect clip;
  std::vector<uint8_t> bytes;
  uint8_t at(int32_t x, int32_t y) const {
    return bytes[static_cast<size_t>(y - clip.top) * (clip.right - clip.left) + (x - clip.left)];
  }
};

Matte Render(const Path& path, ClipRect clip, FillRule rule = FillRule::kNonZero, const Affine& m = {}) {
  ScanConverter converter;
  converter.Reset(clip, rule);
  converter.AddPath(path.View(), m);
  const int32_t width = clip.right - clip.left;
  Matte matte{clip, std::vector<uint8_t>(static_cast<size_t>(width) * (clip.bottom - clip.top), 7)};
  RenderCoverage(converter, matte.bytes.data(), width);
  return matte;
}

// The reference, by another route: each contour (cubics cut into 1024 chords, far finer than the
// converter's) is clipped to the pixel square, which keeps its signed area; the areas summed give
// the winding-weighted coverage.
struct Vec {
  double x, y;
};
using Poly = std::vector<Vec>;

std::vector<Poly> FineContours(const Path& path, const Affine& m) {
  std::vector<Poly> contours;
  auto put = [&](PathPoint p) { contours.back().push_back({m.Apply(p).x, m.Apply(p).y}); };
  for (size_t i = 0; i < path.codes.size(); ++i) {
    if (path.codes[i] == kPathMoveTo) contours.emplace_back();
    if (path.codes[i] == kPathMoveTo || path.codes[i] == kPathLineTo) put(path.points[i]);
    if (path.codes[i] != kPathCurvePoint) continue;
    const PathPoint p[4] = {path.points[i - 1], path.points[i], path.points[i + 1], path.points[i + 2]};
    for (int s = 1; s <= 1024; ++s) {
      const float t = s / 1024.0f, u = 1 - t;
      const float b[4] = {u * u * u, 3 * u * u * t, 3 * u * t * t, t * t * t};
      put({b[0] * p[0].x + b[1] * p[1].x + b[2] * p[2].x + b[3] * p[3].x,
           b[0] * p[0].y + b[1] * p[1].y + b[2] * p[2].y + b[3] * p[3].y});
    }
    i += 2;
  }
  return contours;
}

// Keeps the part of `poly` where coordinate (x or y) * sign <= limit * sign.
Poly ClipSide(const Poly& poly, bool x, double limit, double sign) {
  Poly out;
  auto c = [&](Vec p) { return x ? p.x : p.y; };
  for (size_t i = 0; i < poly.size(); ++i) {
    const Vec a = poly[i], b = poly[(i + 1) % poly.size()];
    if (c(a) * sign <= limit * sign) out.push_back(a);
    if ((c(a) * sign <= limit * sign) != (c(b) * sign <= limit * sign)) {
      const double t = (limit - c(a)) / (c(b) - c(a));
      out.push_back({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t});
    }
  }
  return out;
}

// Worst byte difference between a matte and the exact coverage of the path.
int32_t WorstError(const Matte& matte, const Path& path, FillRule rule, const Affine& m = {}) {
  const std::vector<Poly> contours = FineContours(path, m);
  int32_t worst = 0;
  for (int32_t y = matte.clip.top; y < matte.clip.bottom; ++y) {
    std::vector<Poly> strips;  // the row first, so pixels clip short polygons
    for (const Poly& c : contours) {
      strips.push_back(ClipSide(ClipSide(c, false, y, -1), false, y + 1, 1));
    }
    for (int32_t x = matte.clip.left; x < matte.clip.right; ++x) {
      double sum = 0;
      for (const Poly& strip : strips) {
        const Poly px = ClipSide(ClipSide(strip, true, x, -1), true, x + 1, 1);
        for (size_t i = 0; i < px.size(); ++i) {
          sum += (px[i].x * px[(i + 1) % px.size()].y - px[(i + 1) % px.size()].x * px[i].y) / 2;
        }
      }
      double a = std::fabs(sum);
      if (rule == FillRule::kEvenOdd) a = 1 - std::fabs(std::fmod(a, 2.0) - 1);
      worst = std::max(worst, std::abs(static_cast<int32_t>(std::lround(std::min(a, 1.0) * 255)) - matte.at(x, y)));
    }
  }
  return worst;
}

TEST(ScanConverter, StraightEdgesMatchExactAreaWithinOneLevel) {
  const float c = std::cos(27 * kPi / 180), s = std::sin(27 * kPi / 180);
  struct Case {
    std::string name;
    Path path;
    FillRule rule = FillRule::kNonZero;
    Affine m = {};
  };
  Case cases[] = {
      {"rect at quarter offsets", Path().Rect(0.25f, 0.75f, 9.5f, 5.25f)},
      {"thin rect inside one row", Path().Rect(2.1f, 7.3f, 29.7f, 7.6f)},
      {"rotated rect", Path().Rect(-8.1f, -9.6f, 8.6f, 3.7f), FillRule::kNonZero, {{c, s, -s, c, 16.3f, 15.7f}}},
      {"triangle", Path().Polygon({{3.2f, 28.7f}, {16.9f, 1.4f}, {29.1f, 22.3f}})},
      {"sliver triangle", Path().Polygon({{0.5f, 0.5f}, {31.5f, 2.2f}, {0.5f, 1.1f}})},
      {"hole by opposite winding", Path().Rect(4.3f, 3.6f, 27.2f, 26.9f).Rect(20.7f, 9.25f, 10.5f, 20.1f)},
      {"hole by even-odd", Path().Rect(4.3f, 3.6f, 27.2f, 26.9f).Rect(10.5f, 9.25f, 20.7f, 20.1f), FillRule::kEvenOdd},
      {"overlap under non-zero", Path().Rect(3.3f, 2.6f, 18.4f, 17.7f).Rect(11.8f, 9.1f, 28.6f, 29.5f)},
  };
  for (const Case& t : cases) {
    EXPECT_LE(WorstError(Render(t.path, {0, 0, 32, 32}, t.rule, t.m), t.path, t.rule, t.m), 1) << t.name;
  }
}

TEST(ScanConverter, CurvesMatchExactAreaWithinTwoLevels) {
  const Path cases[] = {
      Path().Circle(12.37f, 11.81f, 6.6f), Path().Circle(30.2f, 29.6f, 27.4f, -1),
      Path().Add(kPathMoveTo, 4.2f, 50.1f).Cubic(-10, 10, 40, 30, 30.5f, 4.4f).Cubic(60, 20, 20, 40, 56.3f, 55.8f),
      Path().Add(kPathMoveTo, 5.5f, 50.5f).Cubic(70, 0, -10, 0, 55.5f, 50.5f),  // a cusp
  };
  for (const Path& path : cases) {
    EXPECT_LE(WorstError(Render(path, {0, 0, 60, 60}), path, FillRule::kNonZero), 2) << &path - cases;
  }
  // Summed coverage against pi r^2. The four cubic arcs themselves enclose about 0.027% more
  // than the circle, well inside the 0.1% allowed.
  for (const float r : {3.7f, 20.0f, 150.0f, 480.25f}) {
    const int32_t size = static_cast<int32_t>(2 * r) + 4;
    const Matte matte = Render(Path().Circle(size / 2.0f + 0.31f, size / 2.0f - 0.17f, r), {0, 0, size, size});
    const double sum = std::accumulate(matte.bytes.begin(), matte.bytes.end(), 0.0) / 255;
    EXPECT_NEAR(sum / (kPi * r * r), 1.0, 0.001) << "radius " << r;
  }
}

// The runs of every row tile the clip, neighbours differ, kinds agree with the matte's bytes, and
// only partial pixels are written to the row buffer.
void ExpectConsistentRuns(const Path& path, ClipRect clip, FillRule rule = FillRule::kNonZero) {
  const Matte matte = Render(path, clip, rule);
  ScanConverter converter;
  converter.Reset(clip, rule);
  converter.AddPath(path.View());
  std::vector<uint8_t> row(static_cast<size_t>(clip.right - clip.left));
  for (int32_t y = clip.top; y < clip.bottom; ++y) {
    std::fill(row.begin(), row.end(), 0xA5);
    const std::vector<RowRun>& runs = converter.Row(y, row.data());
    int32_t x = clip.left;
    for (size_t i = 0; i < runs.size(); ++i) {
      ASSERT_GT(runs[i].end_x, x) << "row " << y;
      ASSERT_TRUE(i == 0 || runs[i].kind != runs[i - 1].kind) << "row " << y;
      for (; x < runs[i].end_x; ++x) {
        const uint8_t byte = matte.at(x, y), written = row[x - clip.left];
        const uint8_t want = runs[i].kind == kRunNone ? 0 : runs[i].kind == kRunFull ? 255 : byte;
        ASSERT_EQ(byte, want) << x << "," << y;
        ASSERT_EQ(written, runs[i].kind == kRunPartial ? byte : 0xA5) << x << "," << y;
        ASSERT_TRUE(runs[i].kind != kRunPartial || (byte > 0 && byte < 255)) << x << "," << y;
      }
    }
    ASSERT_EQ(x, clip.right) << "row " << y;
  }
}

TEST(ScanConverter, RunsTileRowsAndAgreeWithBytes) {
  Path shapes = Path().Circle(40.3f, 30.6f, 25.1f).Rect(-20, 10.5f, 150, 12.25f);
  shapes.Polygon({{70.2f, 5.5f}, {99.9f, 60.1f}, {60.4f, 58.3f}});
  ExpectConsistentRuns(shapes, {0, 0, 100, 64});
  ExpectConsistentRuns(shapes, {-7, 3, 61, 50}, FillRule::kEvenOdd);

  // The inside of a big shape comes as one full run, however wide.
  const Path big = Path().Rect(0.5f, 0.5f, 3999.5f, 9.5f);
  ExpectConsistentRuns(big, {0, 0, 4000, 10});
  ScanConverter converter;
  converter.Reset({0, 0, 4000, 10});
  converter.AddPath(big.View());
  std::vector<uint8_t> row(4000);
  const std::vector<RowRun>& runs = converter.Row(5, row.data());
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[1].kind, kRunFull);
  EXPECT_EQ(runs[1].end_x, 3999);
}

TEST(ScanConverter, ClippingMatchesCroppedRender) {
  const Path path = Path().Circle(20.4f, 18.7f, 30.2f).Polygon({{-40, 2.5f}, {90, 8.25f}, {-40, 30.75f}});
  for (const FillRule rule : {FillRule::kNonZero, FillRule::kEvenOdd}) {
    const Matte whole = Render(path, {-60, -60, 100, 100}, rule);
    for (const ClipRect clip : {ClipRect{0, 0, 40, 40}, ClipRect{30, -5, 33, 60}, ClipRect{-3, 17, 95, 18},
                                ClipRect{45, 0, 60, 20}, ClipRect{-50, -50, -40, -40}}) {
      const Matte matte = Render(path, clip, rule);
      for (int32_t y = clip.top; y < clip.bottom; ++y) {
        for (int32_t x = clip.left; x < clip.right; ++x) {
          ASSERT_EQ(matte.at(x, y), whole.at(x, y)) << x << "," << y;
        }
      }
    }
  }
  // Rows outside the clip have no runs, nor has an empty clip.
  ScanConverter converter;
  converter.Reset({0, 10, 20, 30});
  converter.AddPath(path.View());
  uint8_t row[20];
  EXPECT_TRUE(converter.Row(9, row).empty());
  EXPECT_TRUE(converter.Row(30, row).empty());
  EXPECT_FALSE(converter.Row(29, row).empty());
  converter.Reset({5, 5, 5, 9});
  converter.AddPath(path.View());
  EXPECT_TRUE(converter.Row(6, row).empty());
}

TEST(ScanConverter, DamagedInputIsHarmless) {
  constexpr uint32_t M = kPathMoveTo, L = kPathLineTo, C = kPathCurvePoint, Z = kPathClose;
  auto of = [](std::initializer_list<std::tuple<uint32_t, float, float>> entries) {
    Path path;
    for (auto [code, x, y] : entries) path.Add(code, x, y);
    return path;
  };
  const ClipRect clip = {0, 0, 48, 40};
  const Path square = of({{M, 5.5f, 6.5f}, {L, 30.25f, 6.5f}, {L, 30.25f, 28.75f}, {L, 5.5f, 28.75f}});
  // Non-finite points are skipped and their neighbours joined, and curve points with no start
  // point to leave from are corners: the square survives intact.
  // clang-format off
  const Path same_as_square[] = {
      of({{M, 5.5f, 6.5f}, {L, kNaN, 3}, {L, 30.25f, 6.5f}, {L, 30.25f, 28.75f}, {L, 5.5f, 28.75f}}),
      of({{M, kInf, 0}, {L, 5.5f, 6.5f}, {L, 30.25f, 6.5f}, {L, 30.25f, 28.75f}, {L, 5.5f, -kInf},
          {L, 5.5f, 28.75f}, {Z, kInf, 0}}),
      Path(square).Cubic(kNaN, 1, 2, 3, 4, kInf).Add(M, kNaN, kNaN).Add(L, 3, 4),
      Path(square).Add(M, 17, 17),  // a lone move-to
      of({{C, 5.5f, 6.5f}, {C, 30.25f, 6.5f}, {C, 30.25f, 28.75f}, {L, 5.5f, 28.75f}}),  // no start
  };
  // clang-format on
  for (const Path& path : same_as_square) {
    EXPECT_EQ(Render(path, clip).bytes, Render(square, clip).bytes) << &path - same_as_square;
  }
  // The rest must only stay in bounds (the sanitizers watch) and give well-formed runs.
  // clang-format off
  const Path damaged[] = {
      of({{M, 1e30f, 5}, {L, 20, 1e30f}, {L, -1e30f, -1e30f}}),
      of({{M, -3e38f, 10.5f}, {L, 3e38f, 20.5f}, {L, 3e38f, 30.5f}}),
      of({{M, 4, 4}, {C, 1e30f, -1e30f}, {C, -1e30f, 1e30f}, {C, 30, 30}}),
      of({{M, 4, 4}, {C, 3e38f, 3e38f}, {C, -3e38f, 3e38f}, {C, 30, 30}, {C, 20, 1e-30f}, {C, 5, 5},
          {C, 4, 4}}),
      of({{M, 4, 4}, {C, 30, 4}}),  // cubics cut short
      of({{M, 4, 4}, {C, 30, 4}, {C, 30, 30}, {L, 4, 30}, {C, 9, 9}, {M, 1, 1}}),
      of({{L, 10, 10}, {L, 30, 12}, {99, 1, 1}, {L, 12, 30}}),  // no move-to, an unknown code
      of({{M, 10, 10}, {L, 10.0000001f, 10}, {L, 10, 10.0000001f}}),
  };
  // clang-format on
  for (const Path& path : damaged) ExpectConsistentRuns(path, clip);

  // Zero-area outlines, missing arrays, a negative count and absurd maps all fill nothing.
  ScanConverter converter;
  converter.Reset(clip);
  converter.AddPath(Path().Rect(20, 20, 20, 35).Rect(1, 1, 40, 1).View());
  converter.AddPath({nullptr, nullptr, 5});
  converter.AddPath({square.points.data(), square.codes.data(), -3});
  converter.AddPath(square.View(), Affine{{kNaN, 0, 0, 1, 0, 0}});
  converter.AddPath(square.View(), Affine{{1e30f, 0, 0, 1e30f, 0, 0}});  // far right and below
  std::vector<uint8_t> matte(48 * 40, 7);
  RenderCoverage(converter, matte.data(), 48);
  EXPECT_EQ(matte, std::vector<uint8_t>(48 * 40, 0));
}

TEST(ScanConverter, RowsInAnyOrderMatchInOrder) {
  const Path path = Path().Circle(31.5f, 24.2f, 20.7f).Polygon({{2.2f, 45.5f}, {60.1f, 1.3f}, {58.4f, 40.9f}});
  const Matte in_order = Render(path, {0, 0, 64, 48});
  std::vector<int32_t> reversed(48), shuffled(48);
  std::iota(reversed.rbegin(), reversed.rend(), 0);
  std::iota(shuffled.begin(), shuffled.end(), 0);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  ScanConverter converter;  // reused: buffers from each earlier fill stay
  for (const std::vector<int32_t>& rows : {reversed, shuffled, std::vector<int32_t>{5, 5, 40, 3, 47, 0, 20, 20, 21}}) {
    converter.Reset({0, 0, 64, 48});
    converter.AddPath(path.View());
    for (int32_t y : rows) {
      uint8_t row[64];
      int32_t x = 0;
      for (const RowRun& run : converter.Row(y, row)) {
        for (; x < run.end_x; ++x) {
          ASSERT_EQ(run.kind == kRunFull ? 255 : run.kind == kRunNone ? 0 : row[x], in_order.at(x, y)) << x << "," << y;
        }
      }
      ASSERT_EQ(x, 64);
    }
  }
}

}  // namespace
}  // namespace quill
