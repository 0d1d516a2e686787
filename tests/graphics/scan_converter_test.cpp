#include "platform/graphics/scan_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace quill {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kPi = 3.14159265358979323846;
constexpr double kCircleK = 0.5522847498308;

struct Path {
  std::vector<PathPoint> points;
  std::vector<uint32_t> codes;

  Path& Add(uint32_t code, float x, float y) {
    points.push_back({x, y});
    codes.push_back(code);
    return *this;
  }
  Path& Move(float x, float y) { return Add(kPathMoveTo, x, y); }
  Path& Line(float x, float y) { return Add(kPathLineTo, x, y); }
  Path& Cubic(float x1, float y1, float x2, float y2, float x3, float y3) {
    return Add(kPathCurvePoint, x1, y1).Add(kPathCurvePoint, x2, y2).Add(kPathCurvePoint, x3, y3);
  }
  Path& Close() {
    size_t start = codes.size();
    while (start > 0 && codes[start - 1] != kPathMoveTo) --start;
    const PathPoint first = points[start > 0 ? start - 1 : 0];
    return Add(kPathClose, first.x, first.y);
  }
  Path& Polygon(const std::vector<PathPoint>& corners) {
    Move(corners[0].x, corners[0].y);
    for (size_t i = 1; i < corners.size(); ++i) Line(corners[i].x, corners[i].y);
    return Close();
  }
  Path& Rect(float x0, float y0, float x1, float y1) {
    return Polygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
  }
  // Four cubic arcs, counter-clockwise on screen when `reverse`.
  Path& Circle(float cx, float cy, float r, bool reverse = false) {
    const float k = static_cast<float>(kCircleK) * r, s = reverse ? -1.0f : 1.0f;
    Move(cx + r, cy);
    Cubic(cx + r, cy + s * k, cx + k, cy + s * r, cx, cy + s * r);
    Cubic(cx - k, cy + s * r, cx - r, cy + s * k, cx - r, cy);
    Cubic(cx - r, cy - s * k, cx - k, cy - s * r, cx, cy - s * r);
    Cubic(cx + k, cy - s * r, cx + r, cy - s * k, cx + r, cy);
    return Close();
  }
  PathView View() const {
    return {points.data(), codes.data(), static_cast<int32_t>(points.size())};
  }
};

struct Matte {
  ClipRect clip;
  std::vector<uint8_t> bytes;
  int32_t width() const { return clip.right - clip.left; }
  uint8_t at(int32_t x, int32_t y) const {
    return bytes[static_cast<size_t>(y - clip.top) * width() + (x - clip.left)];
  }
};

Matte Render(const Path& path, ClipRect clip, FillRule rule = FillRule::kNonZero,
             const Affine& m = {}) {
  ScanConverter converter;
  converter.Reset(clip, rule);
  converter.AddPath(path.View(), m);
  Matte matte{clip, std::vector<uint8_t>(static_cast<size_t>(clip.right - clip.left) *
                                             (clip.bottom - clip.top), 7)};
  RenderCoverage(converter, matte.bytes.data(), matte.width());
  return matte;
}

// The reference: each contour clipped to the pixel square (clipping a polygon against a convex
// window keeps its signed area), signed areas summed into the winding-weighted coverage.
using Contour = std::vector<PathPoint>;
struct Vec {
  double x, y;
};
using Poly = std::vector<Vec>;

// One side of a clip window: keeps the part where `axis` coordinate * sign <= limit * sign.
Poly ClipSide(const Poly& poly, bool along_x, double limit, double sign) {
  Poly out;
  auto coord = [&](Vec p) { return along_x ? p.x : p.y; };
  auto inside = [&](Vec p) { return coord(p) * sign <= limit * sign; };
  for (size_t i = 0; i < poly.size(); ++i) {
    const Vec a = poly[i], b = poly[(i + 1) % poly.size()];
    if (inside(a)) out.push_back(a);
    if (inside(a) != inside(b)) {
      const double t = (limit - coord(a)) / (coord(b) - coord(a));
      out.push_back({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t});
    }
  }
  return out;
}

double Fold(double winding_area, FillRule rule) {
  double a = std::fabs(winding_area);
  if (rule == FillRule::kEvenOdd) {
    a = std::fmod(a, 2.0);
    if (a > 1) a = 2 - a;
  }
  return std::min(a, 1.0);
}

// Worst byte difference between a matte and the exact coverage of `contours`.
int32_t WorstError(const Matte& matte, const std::vector<Contour>& contours, FillRule rule) {
  int32_t worst = 0;
  for (int32_t y = matte.clip.top; y < matte.clip.bottom; ++y) {
    std::vector<Poly> strips;  // clipped to the row first, so pixels clip short polygons
    for (const Contour& c : contours) {
      Poly poly;
      for (const PathPoint& p : c) poly.push_back({p.x, p.y});
      strips.push_back(ClipSide(ClipSide(poly, false, y, -1), false, y + 1, 1));
    }
    for (int32_t x = matte.clip.left; x < matte.clip.right; ++x) {
      double sum = 0;
      for (const Poly& strip : strips) {
        const Poly pixel = ClipSide(ClipSide(strip, true, x, -1), true, x + 1, 1);
        for (size_t i = 0; i < pixel.size(); ++i) {
          const Vec a = pixel[i], b = pixel[(i + 1) % pixel.size()];
          sum += (a.x * b.y - b.x * a.y) / 2;
        }
      }
      const int32_t want = static_cast<int32_t>(std::lround(Fold(sum, rule) * 255));
      worst = std::max(worst, std::abs(want - matte.at(x, y)));
    }
  }
  return worst;
}

// Contours of a path with its cubics cut into 1024 chords each: far finer than the converter's.
std::vector<Contour> FineContours(const Path& path) {
  std::vector<Contour> contours;
  for (size_t i = 0; i < path.codes.size(); ++i) {
    const PathPoint p = path.points[i];
    if (path.codes[i] == kPathMoveTo) {
      contours.push_back({p});
    } else if (path.codes[i] == kPathLineTo) {
      contours.back().push_back(p);
    } else if (path.codes[i] == kPathCurvePoint) {
      const PathPoint p0 = contours.back().back(), p1 = p, p2 = path.points[i + 1],
                      p3 = path.points[i + 2];
      for (int s = 1; s <= 1024; ++s) {
        const double t = s / 1024.0, u = 1 - t;
        const double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
        contours.back().push_back({static_cast<float>(b0 * p0.x + b1 * p1.x + b2 * p2.x + b3 * p3.x),
                                   static_cast<float>(b0 * p0.y + b1 * p1.y + b2 * p2.y + b3 * p3.y)});
      }
      i += 2;
    }
  }
  return contours;
}

PathPoint Rotate(PathPoint p, PathPoint center, double degrees) {
  const double c = std::cos(degrees * kPi / 180), s = std::sin(degrees * kPi / 180);
  const double dx = p.x - center.x, dy = p.y - center.y;
  return {static_cast<float>(center.x + dx * c - dy * s), static_cast<float>(center.y + dx * s + dy * c)};
}

struct PolygonCase {
  std::string name;
  std::vector<Contour> contours;
  FillRule rule;
};

TEST(ScanConverter, StraightEdgesMatchExactAreaWithinOneLevel) {
  const Contour outer = {{4.3f, 3.6f}, {27.2f, 3.6f}, {27.2f, 26.9f}, {4.3f, 26.9f}};
  const Contour inner_opposite = {{10.5f, 9.25f}, {10.5f, 20.1f}, {20.7f, 20.1f}, {20.7f, 9.25f}};
  const Contour inner_same = {{10.5f, 9.25f}, {20.7f, 9.25f}, {20.7f, 20.1f}, {10.5f, 20.1f}};
  std::vector<Contour> rotated(1);
  for (PathPoint p : {PathPoint{8.2f, 6.1f}, {24.9f, 6.1f}, {24.9f, 19.4f}, {8.2f, 19.4f}}) {
    rotated[0].push_back(Rotate(p, {16.3f, 15.7f}, 27.0));
  }
  const std::vector<PolygonCase> cases = {
      {"rect at quarter offsets", {{{0.25f, 0.75f}, {9.5f, 0.75f}, {9.5f, 5.25f}, {0.25f, 5.25f}}},
       FillRule::kNonZero},
      {"thin rect inside one row", {{{2.1f, 7.3f}, {29.7f, 7.3f}, {29.7f, 7.6f}, {2.1f, 7.6f}}},
       FillRule::kNonZero},
      {"rotated rect", rotated, FillRule::kNonZero},
      {"triangle", {{{3.2f, 28.7f}, {16.9f, 1.4f}, {29.1f, 22.3f}}}, FillRule::kNonZero},
      {"sliver triangle", {{{0.5f, 0.5f}, {31.5f, 2.2f}, {0.5f, 1.1f}}}, FillRule::kNonZero},
      {"hole by opposite winding", {outer, inner_opposite}, FillRule::kNonZero},
      {"hole by even-odd", {outer, inner_same}, FillRule::kEvenOdd},
      {"overlap under non-zero",
       {{{3.3f, 2.6f}, {18.4f, 2.6f}, {18.4f, 17.7f}, {3.3f, 17.7f}},
        {{11.8f, 9.1f}, {28.6f, 9.1f}, {28.6f, 29.5f}, {11.8f, 29.5f}}},
       FillRule::kNonZero},
  };
  for (const PolygonCase& c : cases) {
    Path path;
    for (const Contour& contour : c.contours) path.Polygon(contour);
    const Matte matte = Render(path, {0, 0, 32, 32}, c.rule);
    EXPECT_LE(WorstError(matte, c.contours, c.rule), 1) << c.name;
  }

  // The same rectangle placed by the affine map instead of by its points.
  Affine m;
  const double a = 27.0 * kPi / 180;
  m.m[0] = static_cast<float>(std::cos(a));
  m.m[1] = static_cast<float>(std::sin(a));
  m.m[2] = -m.m[1];
  m.m[3] = m.m[0];
  m.m[4] = 16.3f;
  m.m[5] = 15.7f;
  Path centered;
  centered.Rect(8.2f - 16.3f, 6.1f - 15.7f, 24.9f - 16.3f, 19.4f - 15.7f);
  Contour mapped;
  for (size_t i = 0; i < 4; ++i) mapped.push_back(m.Apply(centered.points[i]));
  EXPECT_LE(WorstError(Render(centered, {0, 0, 32, 32}, FillRule::kNonZero, m), {mapped},
                       FillRule::kNonZero),
            1);
}

TEST(ScanConverter, CurvesMatchExactAreaWithinTwoLevels) {
  struct CurveCase {
    std::string name;
    Path path;
  };
  std::vector<CurveCase> cases(4);
  cases[0].name = "small circle";
  cases[0].path.Circle(12.37f, 11.81f, 6.6f);
  cases[1].name = "large circle";
  cases[1].path.Circle(30.2f, 29.6f, 27.4f, true);
  cases[2].name = "s-shaped blob";
  cases[2].path.Move(4.2f, 50.1f).Cubic(-10, 10, 40, 30, 30.5f, 4.4f).Cubic(60, 20, 20, 40, 56.3f, 55.8f);
  cases[2].path.Close();
  cases[3].name = "cusp";
  cases[3].path.Move(5.5f, 50.5f).Cubic(70, 0, -10, 0, 55.5f, 50.5f).Close();
  for (const CurveCase& c : cases) {
    const Matte matte = Render(c.path, {0, 0, 60, 60});
    EXPECT_LE(WorstError(matte, FineContours(c.path), FillRule::kNonZero), 2) << c.name;
  }

  // Summed coverage of circles against pi r^2. The four-arc cubic itself encloses about 0.027%
  // more than the circle, well inside the 0.1% allowed.
  for (const float r : {3.7f, 20.0f, 150.0f, 480.25f}) {
    Path circle;
    const int32_t size = static_cast<int32_t>(2 * r) + 4;
    circle.Circle(size / 2.0f + 0.31f, size / 2.0f - 0.17f, r);
    const Matte matte = Render(circle, {0, 0, size, size});
    const double sum = std::accumulate(matte.bytes.begin(), matte.bytes.end(), 0.0) / 255;
    EXPECT_NEAR(sum / (kPi * r * r), 1.0, 0.001) << "radius " << r;
  }
}

// Checks the runs of every row against the matte: they tile the clip, neighbours differ, and
// the kinds agree with the bytes. Partial bytes are the only ones written to the row buffer.
void ExpectConsistentRuns(const Path& path, ClipRect clip, FillRule rule, const std::string& name) {
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
      ASSERT_GT(runs[i].end_x, x) << name << " row " << y;
      if (i > 0) {
        ASSERT_NE(runs[i].kind, runs[i - 1].kind) << name << " row " << y;
      }
      for (; x < runs[i].end_x; ++x) {
        const uint8_t byte = matte.at(x, y);
        const uint8_t written = row[x - clip.left];
        switch (runs[i].kind) {
          case kRunNone: ASSERT_TRUE(byte == 0 && written == 0xA5) << name << " " << x << "," << y; break;
          case kRunFull: ASSERT_TRUE(byte == 255 && written == 0xA5) << name << " " << x << "," << y; break;
          case kRunPartial: ASSERT_TRUE(byte > 0 && byte < 255 && written == byte) << name << " " << x << "," << y; break;
          default: FAIL() << name << " unknown kind";
        }
      }
    }
    ASSERT_EQ(x, clip.right) << name << " row " << y;
  }
}

TEST(ScanConverter, RunsTileRowsAndAgreeWithBytes) {
  Path shapes;
  shapes.Circle(40.3f, 30.6f, 25.1f).Rect(-20, 10.5f, 150, 12.25f);
  shapes.Polygon({{70.2f, 5.5f}, {99.9f, 60.1f}, {60.4f, 58.3f}});
  ExpectConsistentRuns(shapes, {0, 0, 100, 64}, FillRule::kNonZero, "mixed shapes");
  ExpectConsistentRuns(shapes, {-7, 3, 61, 50}, FillRule::kEvenOdd, "mixed shapes, even-odd");

  // The inside of a big shape comes as one full run, however wide.
  Path big;
  big.Rect(0.5f, 0.5f, 3999.5f, 9.5f);
  ExpectConsistentRuns(big, {0, 0, 4000, 10}, FillRule::kNonZero, "big rect");
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
  Path path;
  path.Circle(20.4f, 18.7f, 30.2f).Polygon({{-40, 2.5f}, {90, 8.25f}, {-40, 30.75f}});
  const ClipRect whole = {-60, -60, 100, 100};
  for (const FillRule rule : {FillRule::kNonZero, FillRule::kEvenOdd}) {
    const Matte reference = Render(path, whole, rule);
    for (const ClipRect clip : {ClipRect{0, 0, 40, 40}, ClipRect{30, -5, 33, 60}, ClipRect{-3, 17, 95, 18},
                                ClipRect{45, 0, 60, 20}, ClipRect{-50, -50, -40, -40}}) {
      const Matte matte = Render(path, clip, rule);
      for (int32_t y = clip.top; y < clip.bottom; ++y) {
        for (int32_t x = clip.left; x < clip.right; ++x) {
          ASSERT_EQ(matte.at(x, y), reference.at(x, y)) << x << "," << y;
        }
      }
    }
  }
  // Rows outside the clip have no runs; an empty clip renders nothing.
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
  const ClipRect clip = {0, 0, 48, 40};
  Path square;
  square.Rect(5.5f, 6.5f, 30.25f, 28.75f);
  const Matte square_matte = Render(square, clip);

  // Non-finite points are skipped and their neighbours joined: the square survives intact.
  std::vector<Path> same_as_square(4);
  same_as_square[0].Move(5.5f, 6.5f).Line(kNaN, 3).Line(30.25f, 6.5f).Line(30.25f, 28.75f).Line(5.5f, 28.75f).Close();
  same_as_square[1].Move(kInf, 0).Line(5.5f, 6.5f).Line(30.25f, 6.5f).Line(30.25f, 28.75f).Line(5.5f, -kInf).Line(5.5f, 28.75f);
  same_as_square[2] = square;
  same_as_square[2].Cubic(kNaN, 1, 2, 3, 4, kInf).Move(kNaN, kNaN).Line(3, 4);
  same_as_square[3] = square;
  same_as_square[3].Move(17, 17);  // a lone move-to
  for (size_t i = 0; i < same_as_square.size(); ++i) {
    EXPECT_EQ(Render(same_as_square[i], clip).bytes, square_matte.bytes) << "case " << i;
  }

  // The rest must only stay in bounds (the sanitizers watch) and give well-formed runs.
  std::vector<Path> damaged(9);
  damaged[0].Polygon({{1e30f, 5}, {20, 1e30f}, {-1e30f, -1e30f}});
  damaged[1].Polygon({{-3e38f, 10.5f}, {3e38f, 20.5f}, {3e38f, 30.5f}});
  damaged[2].Move(4, 4).Cubic(1e30f, -1e30f, -1e30f, 1e30f, 30, 30).Close();
  damaged[3].Move(4, 4).Cubic(3e38f, 3e38f, -3e38f, 3e38f, 30, 30).Cubic(20, 1e-30f, 5, 5, 4, 4);
  damaged[4].Move(4, 4).Add(kPathCurvePoint, 30, 4);  // cubics cut short
  damaged[5].Move(4, 4).Add(kPathCurvePoint, 30, 4).Add(kPathCurvePoint, 30, 30).Line(4, 30);
  damaged[6].Line(10, 10).Line(30, 12).Add(99, 1, 1).Line(12, 30).Close();  // no move-to, bad code
  damaged[7].Move(10, 10).Line(10.0000001f, 10).Line(10, 10.0000001f).Close();
  damaged[8].Rect(20, 20, 20, 35).Rect(1, 1, 40, 1);  // zero-area outlines
  for (size_t i = 0; i < damaged.size(); ++i) {
    ExpectConsistentRuns(damaged[i], clip, FillRule::kNonZero, "damaged " + std::to_string(i));
  }
  EXPECT_EQ(Render(damaged[8], clip).bytes, std::vector<uint8_t>(48 * 40, 0));

  ScanConverter converter;
  converter.Reset(clip);
  converter.AddPath({nullptr, nullptr, 5});
  converter.AddPath({square.points.data(), square.codes.data(), -3});
  converter.AddPath(square.View(), Affine{{kNaN, 0, 0, 1, 0, 0}});
  std::vector<uint8_t> matte(48 * 40, 7);
  RenderCoverage(converter, matte.data(), 48);
  EXPECT_EQ(matte, std::vector<uint8_t>(48 * 40, 0));
}

TEST(ScanConverter, RowsInAnyOrderMatchInOrder) {
  Path path;
  path.Circle(31.5f, 24.2f, 20.7f).Polygon({{2.2f, 45.5f}, {60.1f, 1.3f}, {58.4f, 40.9f}});
  const ClipRect clip = {0, 0, 64, 48};
  const Matte in_order = Render(path, clip);

  std::vector<int32_t> order(48);
  std::iota(order.begin(), order.end(), 0);
  std::vector<std::vector<int32_t>> orders = {order, order, order};
  std::reverse(orders[0].begin(), orders[0].end());
  std::shuffle(orders[1].begin(), orders[1].end(), std::mt19937(7));
  orders[2] = {5, 5, 40, 3, 47, 0, 20, 20, 21, 19};

  ScanConverter converter;
  for (const std::vector<int32_t>& rows : orders) {
    converter.Reset(clip);  // reused: buffers from the earlier fill stay
    converter.AddPath(path.View());
    for (int32_t y : rows) {
      uint8_t row[64];
      const std::vector<RowRun>& runs = converter.Row(y, row);
      int32_t x = 0;
      for (const RowRun& run : runs) {
        for (; x < run.end_x; ++x) {
          const uint8_t byte = run.kind == kRunFull ? 255 : (run.kind == kRunNone ? 0 : row[x]);
          ASSERT_EQ(byte, in_order.at(x, y)) << x << "," << y;
        }
      }
      ASSERT_EQ(x, 64);
    }
  }
}

}  // namespace
}  // namespace quill
