#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <numeric>
#include <vector>

#include "platform/graphics/component_framework.h"
#include "platform/graphics/component_object.h"
#include "platform/graphics/path_data.h"
#include "platform/graphics/raster_engine.h"
#include "platform/graphics/raster_painter.h"

namespace quill {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kPi = std::numbers::pi;

struct Path {
  std::vector<PathPoint> points;
  std::vector<uint32_t> codes;

  Path& Add(uint32_t code, double x, double y) {
    points.push_back({static_cast<float>(x), static_cast<float>(y)});
    codes.push_back(code);
    return *this;
  }
  Path& Move(double x, double y) { return Add(kPathMoveTo, x, y); }
  Path& Line(double x, double y) { return Add(kPathLineTo, x, y); }
  Path& Cubic(double x1, double y1, double x2, double y2, double x3, double y3) {
    return Add(kPathCurvePoint, x1, y1).Add(kPathCurvePoint, x2, y2).Add(kPathCurvePoint, x3, y3);
  }
  Path& Close() { return Add(kPathClose, points.empty() ? 0 : points.front().x, 0); }
  int32_t count() const { return static_cast<int32_t>(points.size()); }
};

TQEClipRecord Clip(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  return {left, top, right, bottom, left, right};
}

// Coverage bytes over the clip, read back through the painter information as a client would;
// checks on the way that each row's runs tile the clip and end in the sentinel.
struct Matte {
  TQEClipRecord clip{};
  std::vector<uint8_t> bytes;
  uint8_t at(int32_t x, int32_t y) const {
    return bytes[static_cast<size_t>(y - clip.top) * (clip.right - clip.left) + (x - clip.left)];
  }
  double Sum() const { return std::accumulate(bytes.begin(), bytes.end(), 0.0) / 255; }
};

Matte Paint(const Path& path, float width, TQEClipRecord clip, bool partial = true, const float* matrix = nullptr) {
  Matte matte{clip, {}};
  QuillObject* painter = nullptr;
  const int32_t status = TQE_BezierPathRasterPainterNewStrokeProcV2(&painter, path.count(), path.points.data(),
                                                                    path.codes.data(), width, partial, matrix, &clip);
  EXPECT_EQ(status, 0);
  if (status != 0) return matte;
  const QIMRasterPainterInfo* info = nullptr;
  EXPECT_EQ(QIMRasterPainterGetInfoProc(&info, painter), 0);
  for (int32_t y = clip.top; y < clip.bottom; ++y) {
    const QIMRowRun* run = info->row(info->context, y);
    const uint8_t* row = info->raster->base + info->raster->stride * y;
    for (int32_t x = clip.left; x < clip.right; ++run) {
      EXPECT_TRUE(run->kind == 0 || run->kind == 1 || (partial && run->kind == 2)) << run->kind;
      if (run->end_x <= x || run->end_x > clip.right) {
        ADD_FAILURE() << "runs of row " << y << " do not tile the clip";
        QIBObjectRelease(painter);
        return matte;
      }
      for (; x < run->end_x; ++x) matte.bytes.push_back(run->kind == 0 ? 0 : run->kind == 1 ? 255 : row[x]);
    }
    EXPECT_EQ(run->kind, 0);
    EXPECT_EQ(run->end_x, std::numeric_limits<int32_t>::max());
  }
  QIBObjectRelease(painter);
  return matte;
}

// As a hit test asks: a one-pixel clip at the pixel holding (x, y), full runs only.
bool Hit(const Path& path, float width, double x, double y, const float* matrix = nullptr) {
  const auto px = static_cast<int32_t>(std::floor(x)), py = static_cast<int32_t>(std::floor(y));
  return Paint(path, width, Clip(px, py, px + 1, py + 1), false, matrix).bytes.at(0) == 255;
}

// A straight run through (cx, cy) along angle a, 80 px long.
Path LineThrough(double cx, double cy, double a) {
  const double dx = 40 * std::cos(a), dy = 40 * std::sin(a);
  return Path().Move(cx - dx, cy - dy).Line(cx + dx, cy + dy);
}

TEST(StrokePainter, IsRegisteredBesideTheFill) {
  const QuillProcGetter getter = InitQuillComponents();
  ASSERT_EQ(TQE_Initialize(getter), 0);
  EXPECT_EQ(getter("TQE_BezierPathRasterPainterInterface", "NewStroke", "TQE_BezierPathRasterPainterNewStrokeProcV2"),
            reinterpret_cast<void*>(&TQE_BezierPathRasterPainterNewStrokeProcV2));
  EXPECT_NE(getter("TQE_BezierPathRasterPainterInterface", "NewFill", "TQE_BezierPathRasterPainterNewFillProc"),
            nullptr);
  TQE_Terminate();
  TerminateQuillComponents();
}

TEST(StrokePainter, StaysRegisteredUntilTheLastStarterStops) {
  // Two effect instances in one process start the components and the engine; the first to stop
  // must not pull them from under the second.
  const QuillProcGetter getter = InitQuillComponents();
  ASSERT_EQ(TQE_Initialize(getter), 0);
  ASSERT_EQ(TQE_Initialize(InitQuillComponents()), 0);
  TQE_Terminate();
  TerminateQuillComponents();
  EXPECT_NE(getter("TQE_BezierPathRasterPainterInterface", "NewFill", "TQE_BezierPathRasterPainterNewFillProc"),
            nullptr);
  TQE_Terminate();
  TerminateQuillComponents();
  EXPECT_EQ(getter("TQE_BezierPathRasterPainterInterface", "NewFill", "TQE_BezierPathRasterPainterNewFillProc"),
            nullptr);
}

TEST(StrokePainter, HorizontalLineCoversRowsWithinHalfWidth) {
  const Matte m = Paint(Path().Move(20, 50).Line(80, 50), 12, Clip(0, 0, 100, 100));
  for (int32_t y = 0; y < 100; ++y) {
    for (int32_t x = 0; x < 100; ++x) {
      if (y >= 44 && y < 56 && x >= 20 && x < 80) {
        ASSERT_EQ(m.at(x, y), 255) << x << "," << y;
      } else if (y < 43 || y >= 57) {
        ASSERT_EQ(m.at(x, y), 0) << x << "," << y;
      }
    }
  }
  // Round caps reach 6 px beyond either end, and no further.
  const Path line = Path().Move(20, 50).Line(80, 50);
  EXPECT_TRUE(Hit(line, 12, 14.5, 49.5));   // 5.52 from (20, 50)
  EXPECT_FALSE(Hit(line, 12, 13.5, 49.5));  // 6.52
  EXPECT_TRUE(Hit(line, 12, 85.5, 50.5));
  EXPECT_FALSE(Hit(line, 12, 86.5, 50.5));
}

TEST(StrokePainter, EdgesWithinAnEighthPixelAtAnyAngle) {
  for (const double a : {0.0, 0.3, 0.7854, 1.1, 2.0, 2.9, -1.3}) {
    for (const double side : {1.0, -1.0}) {
      const double nx = -std::sin(a) * side, ny = std::cos(a) * side;
      // (50.5, 50.5) is the pixel's center, at distance d from the line.
      for (const double d : {5.9, 6.1}) {
        EXPECT_EQ(Hit(LineThrough(50.5 - d * nx, 50.5 - d * ny, a), 12, 50.5, 50.5), d < 6)
            << "angle " << a << " side " << side << " distance " << d;
      }
    }
  }
}

// Collinear vertices every pixel must not change the edge rows' partial coverage: each join's
// piece lies beside its neighbours', not on top of them.
TEST(StrokePainter, JoinsAddNoCoverageAlongTheEdge) {
  Path dense = Path().Move(10, 50.3);
  for (int32_t x = 11; x <= 90; ++x) dense.Line(x, 50.3);
  const Matte m = Paint(dense, 12, Clip(0, 40, 100, 60));
  for (int32_t x = 20; x < 80; ++x) {
    EXPECT_NEAR(m.at(x, 44), 0.7 * 255, 1.5) << x;
    EXPECT_EQ(m.at(x, 45), 255) << x;
    EXPECT_NEAR(m.at(x, 56), 0.3 * 255, 1.5) << x;
  }
  // A round ring (four cubics, radius 30) has area 4 pi r h to within the flattening.
  const double r = 30, k = 0.5522847498 * r, c = 50.2;
  const Path ring = Path()
                        .Move(c + r, c)
                        .Cubic(c + r, c + k, c + k, c + r, c, c + r)
                        .Cubic(c - k, c + r, c - r, c + k, c - r, c)
                        .Cubic(c - r, c - k, c - k, c - r, c, c - r)
                        .Cubic(c + k, c - r, c + r, c - k, c + r, c)
                        .Close();
  EXPECT_NEAR(Paint(ring, 12, Clip(0, 0, 100, 100)).Sum() / (4 * kPi * r * 6), 1.0, 0.002);
}

TEST(StrokePainter, CornersJoinRound) {
  // Corners turning left and right, square and sharp: the point 5.9 px from the vertex straight
  // out of the corner is in, 6.1 px is out (a miter would reach 6 / sin(half the angle)).
  struct Case {
    double in_angle, out_angle;
  };
  for (const Case t : {Case{0, -kPi / 2}, Case{0, kPi / 2}, Case{0.4, 0.4 + 2.6}, Case{1.0, 1.0 - 2.8}}) {
    // Into the corner: between its legs.
    const double ix = std::cos(t.out_angle) - std::cos(t.in_angle), iy = std::sin(t.out_angle) - std::sin(t.in_angle);
    for (const double d : {5.9, 6.1}) {
      const double vx = 50.5 + d * ix / std::hypot(ix, iy), vy = 50.5 + d * iy / std::hypot(ix, iy);
      const Path corner = Path()
                              .Move(vx - 40 * std::cos(t.in_angle), vy - 40 * std::sin(t.in_angle))
                              .Line(vx, vy)
                              .Line(vx + 40 * std::cos(t.out_angle), vy + 40 * std::sin(t.out_angle));
      EXPECT_EQ(Hit(corner, 12, 50.5, 50.5), d < 6) << t.in_angle << " " << t.out_angle << " " << d;
    }
  }
}

TEST(StrokePainter, CubicCurveIsStrokedAlongTheCurve) {
  // Apex at t = 1/2 is (x0 + 40, y0 - 30), radius of curvature 60, tangent horizontal.
  const auto arch = [](double x0, double y0) {
    return Path().Move(x0, y0).Cubic(x0, y0 - 40, x0 + 80, y0 - 40, x0 + 80, y0);
  };
  for (const double d : {5.9, 6.1}) {
    EXPECT_EQ(Hit(arch(10.5, 50.5 + 30 + d), 12, 50.5, 50.5), d < 6) << "outside, " << d;
    EXPECT_EQ(Hit(arch(10.5, 50.5 + 30 - d), 12, 50.5, 50.5), d < 6) << "inside, " << d;
  }
  const Matte m = Paint(arch(10, 50), 12, Clip(0, 0, 100, 100));
  EXPECT_EQ(m.at(50, 20), 255);  // the apex
  EXPECT_EQ(m.at(50, 45), 0);    // on the chord, far from the curve
  EXPECT_EQ(m.at(10, 52), 255);  // both ends capped
  EXPECT_EQ(m.at(89, 52), 255);
}

TEST(StrokePainter, OnlyClosedSubOutlinesHaveAClosingEdge) {
  Path open = Path().Move(20, 20).Line(80, 20).Line(50, 80);
  Path closed = open;
  closed.Close();
  // The closing edge's midpoint.
  EXPECT_FALSE(Hit(open, 12, 35.5, 50.5));
  EXPECT_TRUE(Hit(closed, 12, 35.5, 50.5));
  // A line after a close starts over at the closed outline's start; a move starts elsewhere.
  closed.Line(20, 95).Move(90, 90).Line(95, 90);
  const Matte m = Paint(closed, 4, Clip(0, 0, 100, 100));
  EXPECT_EQ(m.at(20, 60), 255);
  EXPECT_EQ(m.at(92, 90), 255);
  EXPECT_EQ(m.at(60, 92), 0);  // where (20, 95) to (90, 90) would pass
}

TEST(StrokePainter, PointsPaintDotsAndBareMovesNothing) {
  const double d = 5.9 / std::sqrt(2.0);
  EXPECT_TRUE(Hit(Path().Move(50.5 - d, 50.5 - d).Line(50.5 - d, 50.5 - d), 12, 50.5, 50.5));
  EXPECT_TRUE(Hit(Path().Move(50.5 - d, 50.5 - d).Close(), 12, 50.5, 50.5));
  EXPECT_FALSE(Hit(Path().Move(50.5, 44.4).Line(50.5, 44.4), 12, 50.5, 50.5));  // 6.1 away
  EXPECT_EQ(Paint(Path().Move(50, 50).Move(20, 20), 12, Clip(0, 0, 100, 100)).Sum(), 0);
  // Repeated points inside a line leave it as it was.
  const Matte plain = Paint(Path().Move(20, 50.3).Line(80, 50.3), 12, Clip(0, 0, 100, 100));
  const Matte repeats = Paint(Path().Move(20, 50.3).Line(20, 50.3).Line(50, 50.3).Line(50, 50.3).Line(80, 50.3), 12,
                              Clip(0, 0, 100, 100));
  ASSERT_EQ(plain.bytes.size(), repeats.bytes.size());
  for (size_t i = 0; i < plain.bytes.size(); ++i) ASSERT_NEAR(plain.bytes[i], repeats.bytes[i], 1) << i;
}

TEST(StrokePainter, PenFollowsTheMatrix) {
  // Twice as wide across, mirrored (x -> 100 - 2x): a vertical line's stroke spans 12 px each side.
  const float mirror[6] = {-2, 0, 0, 1, 100, 0};
  for (const double side : {1.0, -1.0}) {
    for (const double d : {11.9, 12.1}) {
      const double x = (100 - (50.5 + side * d)) / 2;
      EXPECT_EQ(Hit(Path().Move(x, 10).Line(x, 90), 12, 50.5, 50.5, mirror), d < 12) << side << " " << d;
    }
  }
  // A mirrored closed outline, x 40..60 and y 20..80 in pixels: its pieces still add up, leaving
  // no holes where they overlap at the corners.
  const Path square = Path().Move(20, 20).Line(30, 20).Line(30, 80).Line(20, 80).Close();
  const Matte m = Paint(square, 4, Clip(0, 0, 100, 100), true, mirror);
  for (int32_t y = 18; y < 82; ++y) {
    for (int32_t x = 36; x < 64; ++x) {
      const bool side = (x < 44 || x >= 56) && y >= 20 && y < 80, end = (y < 22 || y >= 78) && x >= 40 && x < 60;
      const bool hollow = x >= 44 && x < 56 && y >= 22 && y < 78;
      if (side || end || hollow) {
        ASSERT_EQ(m.at(x, y), hollow ? 0 : 255) << x << "," << y;
      }
    }
  }
  const float rotate[6] = {0, 1, -1, 0, 100, 0};  // quarter turn: horizontal becomes vertical
  EXPECT_TRUE(Hit(Path().Move(10, 50).Line(90, 50), 12, 55.5, 50.5, rotate));
  EXPECT_FALSE(Hit(Path().Move(10, 50).Line(90, 50), 12, 56.5, 50.5, rotate));
}

TEST(StrokePainter, RefusesBadArguments) {
  const Path line = Path().Move(0, 0).Line(10, 10);
  const TQEClipRecord clip = Clip(0, 0, 10, 10);
  const auto make = [&](QuillObject** out, int32_t count, const void* points, const void* codes, float width,
                        const TQEClipRecord* c) {
    return TQE_BezierPathRasterPainterNewStrokeProcV2(out, count, points, codes, width, 1, nullptr, c);
  };
  QuillObject* painter = nullptr;
  for (const float width : {0.0f, -3.0f, kNaN, kInf, -kInf}) {
    EXPECT_EQ(make(&painter, 2, line.points.data(), line.codes.data(), width, &clip), kTQEErrBadArgument) << width;
  }
  EXPECT_EQ(make(nullptr, 2, line.points.data(), line.codes.data(), 1, &clip), kTQEErrBadArgument);
  EXPECT_EQ(make(&painter, 2, line.points.data(), line.codes.data(), 1, nullptr), kTQEErrBadArgument);
  EXPECT_EQ(make(&painter, -1, line.points.data(), line.codes.data(), 1, &clip), kTQEErrBadArgument);
  EXPECT_EQ(make(&painter, 2, nullptr, line.codes.data(), 1, &clip), kTQEErrBadArgument);
  EXPECT_EQ(make(&painter, 2, line.points.data(), nullptr, 1, &clip), kTQEErrBadArgument);
  for (const TQEClipRecord bad : {Clip(5, 0, 4, 10), Clip(0, 5, 10, 4), Clip(-1, 0, 10, 10)}) {
    EXPECT_EQ(make(&painter, 2, line.points.data(), line.codes.data(), 1, &bad), kTQEErrBadArgument);
  }
  EXPECT_EQ(painter, nullptr);
  // An empty path is no error: it paints nothing.
  EXPECT_EQ(Paint(Path(), 3, clip).Sum(), 0);
}

TEST(StrokePainter, SurvivesMalformedAndExtremeInput) {
  const TQEClipRecord clip = Clip(0, 0, 100, 100);
  // Non-finite points are skipped and their neighbours joined.
  for (const float bad : {kNaN, kInf, -kInf}) {
    const Path path = Path().Move(bad, 0).Move(20, 50).Line(50, bad).Line(80, 50).Cubic(90, bad, 90, 60, 80, 60);
    EXPECT_TRUE(Hit(path, 12, 50.5, 55.5));
    EXPECT_FALSE(Hit(path, 12, 50.5, 57.5));
    Paint(path, 12, clip);
  }
  // Lines far beyond float precision of the clip still stroke exactly where they pass.
  const Matte far = Paint(Path().Move(-1e30, 50).Line(1e30, 50), 12, clip);
  EXPECT_EQ(far.at(0, 44), 255);
  EXPECT_EQ(far.at(99, 55), 255);
  EXPECT_EQ(far.at(50, 57), 0);
  // A pen wider than anything covers the clip; far curves and tiny pens cost little.
  EXPECT_EQ(Paint(Path().Move(50, 50).Line(60, 50), 1e38f, clip).Sum(), 100 * 100);
  EXPECT_EQ(Paint(Path().Move(50, 50).Move(60, 50), 1e38f, clip).Sum(), 0);
  EXPECT_EQ(Paint(Path().Move(-5e5, 50).Line(-4e5, 50), 1e6f, clip).Sum(), 100 * 100);
  Paint(Path().Move(3e38f, 3e38f).Cubic(-3e38f, 3e38f, 3e38f, -3e38f, -3e38f, -3e38f), 5, clip);
  Paint(Path().Move(1e30f, 1e30f).Cubic(1e30f, 2e30f, 2e30f, 1e30f, 3e30f, 3e30f), 5, clip);
  EXPECT_LT(Paint(Path().Move(10, 10).Line(90, 90), 1e-20f, clip).Sum(), 1);
  // Truncated curves, unknown codes, and matrices that are not finite or flatten everything.
  Path odd = Path().Move(10, 10).Add(kPathCurvePoint, 40, 40).Add(7, 1, 1).Add(kPathCurvePoint, 60, 20);
  Paint(odd, 6, clip);
  const float singular[6] = {1, 1, 2, 2, 0, 0}, nan_matrix[6] = {1, 0, 0, kNaN, 0, 0};
  EXPECT_EQ(Paint(odd, 6, clip, true, singular).Sum(), 0);
  EXPECT_EQ(Paint(odd, 6, clip, true, nan_matrix).Sum(), 0);
  // An empty clip, and one far down the coordinate range, beyond a float's pixel precision.
  Paint(odd, 6, Clip(5, 5, 5, 5));
  const Matte distant = Paint(Path().Move(0, 2e9).Line(64, 2e9), 4, Clip(0, 2000000000 - 4, 64, 2000000000 + 4));
  EXPECT_EQ(distant.at(32, 2000000000 - 2), 255);
  EXPECT_EQ(distant.at(32, 2000000000 + 1), 255);
  EXPECT_EQ(distant.at(32, 2000000000 + 2), 0);
}

}  // namespace
}  // namespace quill
