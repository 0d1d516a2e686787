#include "platform/graphics/offset_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace quill {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kAnyArea = -1;  // for cases that pin down no area
constexpr int kAnyCount = -1;    // ... or no outline count

struct Shape {
  std::vector<PathPoint> points;
  std::vector<uint32_t> codes;

  Shape& Add(uint32_t code, float x, float y) {
    points.push_back({x, y});
    codes.push_back(code);
    return *this;
  }
  // A closed polygon through the given corners.
  Shape& Poly(std::initializer_list<PathPoint> corners) {
    uint32_t code = kPathMoveTo;
    for (PathPoint p : corners) {
      Add(code, p.x, p.y);
      code = kPathLineTo;
    }
    return Add(kPathClose, corners.begin()->x, corners.begin()->y);
  }
  Shape& Rect(float x0, float y0, float x1, float y1, bool reversed = false) {
    return reversed ? Poly({{x0, y0}, {x0, y1}, {x1, y1}, {x1, y0}}) : Poly({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
  }
  // Four cubic quarter arcs.
  Shape& Circle(float cx, float cy, float r) {
    const float k = 0.5522847498308f * r;
    Add(kPathMoveTo, cx + r, cy);
    const float arcs[4][6] = {{r, k, k, r, 0, r}, {-k, r, -r, k, -r, 0}, {-r, -k, -k, -r, 0, -r}, {k, -r, r, -k, r, 0}};
    for (const auto& a : arcs) {
      for (int j = 0; j < 6; j += 2) Add(kPathCurvePoint, cx + a[j], cy + a[j + 1]);
    }
    return Add(kPathClose, cx + r, cy);
  }
  PathView View() const { return {points.data(), codes.data(), static_cast<int32_t>(codes.size())}; }
};

struct Segment {
  int32_t type;
  float v[6];
  bool operator==(const Segment& o) const { return type == o.type && std::equal(v, v + 6, o.v); }
};

struct Recorder {
  std::vector<Segment> segments;
  size_t stop_at = 0;  // answer `stop_code` on this segment (1-based); 0 never stops
  int32_t stop_code = 0;
};

int32_t Record(float x1, float y1, float x2, float y2, float x3, float y3, int32_t type, void* user) {
  auto& r = *static_cast<Recorder*>(user);
  r.segments.push_back({type, {x1, y1, x2, y2, x3, y3}});
  return r.segments.size() == r.stop_at ? r.stop_code : 0;
}

using Polygon = std::vector<PathPoint>;

// Splits a stream into polygons, failing the test on anything but move, lines, close.
std::vector<Polygon> Polygons(const std::vector<Segment>& segments) {
  std::vector<Polygon> out;
  bool open = false;
  for (const Segment& s : segments) {
    if (s.type == 0 && !open) {
      out.push_back({{s.v[0], s.v[1]}});
      open = true;
    } else if (s.type == 1 && open) {
      out.back().push_back({s.v[0], s.v[1]});
    } else if (s.type == 3 && open && out.back().size() >= 3) {
      open = false;
    } else {
      ADD_FAILURE() << "unexpected segment type " << s.type;
    }
  }
  EXPECT_FALSE(open) << "last polygon not closed";
  return out;
}

double SignedArea(const std::vector<Polygon>& polygons) {
  double sum = 0;
  for (const Polygon& p : polygons) {
    for (size_t i = 0; i < p.size(); ++i) {
      const PathPoint a = p[i], b = p[(i + 1) % p.size()];
      sum += double{a.x} * b.y - double{b.x} * a.y;
    }
  }
  return sum / 2;
}

int Winding(const std::vector<Polygon>& polygons, double x, double y) {
  int w = 0;
  for (const Polygon& p : polygons) {
    for (size_t i = 0; i < p.size(); ++i) {
      const PathPoint a = p[i], b = p[(i + 1) % p.size()];
      if ((a.y <= y) == (b.y <= y)) continue;
      const double crossing_x = a.x + (y - a.y) * (b.x - a.x) / (double{b.y} - a.y);
      if (crossing_x > x) w += b.y > a.y ? 1 : -1;
    }
  }
  return w;
}

// Each approximation of a curved stretch (a flattened cubic, an arc's chords) cuts inward by at
// most kOffsetTolerance, and rounding to the integer grid moves any point by at most 1/2048 px,
// so the area is off by at most those bands times their lengths: curves offset from curves
// count their length twice.
double Band(double curved_length, double straight_length) {
  return curved_length * kOffsetTolerance + (curved_length + straight_length) / 1024;
}

struct Probe {
  double x, y;
  bool inside;
};

struct AreaCase {
  std::string name;
  Shape shape;
  float distance;
  double area;  // or kAnyArea
  double tolerance;
  int outlines;  // or kAnyCount
  std::vector<Probe> probes;
};

void ExpectRegion(const AreaCase& c) {
  SCOPED_TRACE(c.name);
  Recorder rec;
  ASSERT_EQ(OffsetOutline(c.shape.View(), c.distance, Record, &rec), 0);
  const std::vector<Polygon> polygons = Polygons(rec.segments);
  if (c.area != kAnyArea) {
    EXPECT_NEAR(SignedArea(polygons), c.area, c.tolerance);
  }
  if (c.outlines != kAnyCount) {
    EXPECT_EQ(static_cast<int>(polygons.size()), c.outlines);
  }
  for (const Probe& p : c.probes) {
    EXPECT_EQ(Winding(polygons, p.x, p.y) != 0, p.inside) << "at " << p.x << ", " << p.y;
  }
}

TEST(OffsetOutline, GivesTheOffsetRegion) {
  const double rounded = 4 - kPi;        // a square minus its inscribed disc, per unit d^2
  const double circle_tol = 0.0003 * 2;  // quarter-arc cubics overshoot a circle by < 0.03% r
  const Shape c_shape =
      Shape().Poly({{0, 0}, {100, 0}, {100, 40}, {40, 40}, {40, 60}, {100, 60}, {100, 100}, {0, 100}});
  const Shape bowtie = Shape().Poly({{0, 0}, {100, 100}, {100, 0}, {0, 100}});
  const Shape square = Shape().Rect(0, 0, 100, 100), frame = Shape().Rect(0, 0, 1920, 1080);
  const Shape circle = Shape().Circle(500, 500, 100);
  const Shape holed = Shape().Rect(0, 0, 100, 100).Rect(40, 40, 60, 60, true);
  // clang-format off
  const std::vector<AreaCase> cases = {
      {"square grown", square, 10, 120 * 120 - rounded * 100, Band(2 * kPi * 10, 400), 1,
       {{-9, 50, true}, {-11, 50, false}, {-6, -6, true}, {-8, -8, false}}},
      {"square shrunk", square, -10, 80 * 80, Band(0, 320), 1, {{10.5, 50, true}, {9.5, 50, false}}},
      {"square nearly collapsed", square, -49, 4, Band(0, 8), 1, {}},
      {"square shrunk past collapse", square, -51, 0, 0, 0, {}},
      {"distance zero", Shape().Rect(0, 0, 100, 100, true), 0, 10000, Band(0, 400), 1, {}},
      {"circle grown", circle, 20, kPi * 120 * 120,
       Band(2 * 2 * kPi * 120, 0) + circle_tol * kPi * 120 * 120, 1,
       {{619, 500, true}, {621, 500, false}}},
      {"circle shrunk", circle, -20, kPi * 80 * 80,
       Band(2 * 2 * kPi * 80, 0) + circle_tol * kPi * 100 * 100, 1,
       {{579, 500, true}, {581, 500, false}}},
      {"notch open", c_shape, 0, 8800, Band(0, 520), 1, {{70, 50, false}}},
      {"notch not yet closed", c_shape, 9, kAnyArea, 0, 1, {{70, 50, false}, {50, 50, false}}},
      {"notch closed", c_shape, 12, kAnyArea, 0, 1, {{70, 50, true}, {50, 50, true}}},
      {"figure eight resolved", bowtie, 0, 5000, Band(0, 500), 2,
       {{10, 50, true}, {90, 50, true}, {50, 10, false}}},
      {"figure eight grown", bowtie, 5, kAnyArea, 0, 1, {{50, 45, true}, {50, 20, false}}},
      {"overlapping squares", Shape().Rect(0, 0, 100, 100).Rect(50, 50, 150, 150), 0, 17500,
       Band(0, 600), 1, {{75, 75, true}}},
      {"overlap cancelled by opposite winding",
       Shape().Rect(0, 0, 100, 100).Rect(50, 50, 150, 150, true), 0, 15000, Band(0, 800),
       kAnyCount, {{75, 75, false}, {25, 25, true}, {125, 125, true}}},
      {"hole kept", holed, 0, 9600, Band(0, 480), 2, {{50, 50, false}, {30, 50, true}}},
      {"hole narrowed", holed, 5, 110 * 110 - rounded * 25 - 10 * 10, Band(2 * kPi * 5, 480), 2,
       {{50, 50, false}, {44, 50, true}}},
      {"hole closed", holed, 12, 124 * 124 - rounded * 144, Band(2 * kPi * 12, 400), 1,
       {{50, 50, true}}},
      {"same-winding inner outline fills", Shape().Rect(0, 0, 100, 100).Rect(40, 40, 60, 60), 0,
       10000, Band(0, 400), 1, {{50, 50, true}}},
      {"frame grown 1000", frame, 1000, 3920.0 * 3080 - rounded * 1e6,
       Band(2 * kPi * 1000, 6000), 1, {{-999, -1, true}, {-708, -708, false}}},
      {"frame shrunk 500", frame, -500, 920 * 80, Band(0, 2000), 1, {}},
      {"frame shrunk 1000", frame, -1000, 0, 0, 0, {}},
      {"huge grow is bounded", square, 1e30f, kAnyArea, 0, 1,
       {{-100000, 50, true}, {50, 200000, true}}},
      {"huge shrink empties", square, -1e30f, 0, 0, 0, {}},
      {"zero-area outline", Shape().Poly({{0, 0}, {100, 100}, {50, 50}}), 10, 0, 0, 0, {}},
      {"lone move-to", Shape().Add(kPathMoveTo, 5, 5), 10, 0, 0, 0, {}},
      {"empty path", Shape(), 10, 0, 0, 0, {}},
  };
  // clang-format on
  for (const AreaCase& c : cases) ExpectRegion(c);
}

// Every vertex and edge midpoint of an offset circle lies within the tolerance band of the
// true circle, and the band is met without needlessly many vertices.
TEST(OffsetOutline, OffsetCircleStaysWithinTolerance) {
  const double r = 300;
  for (float d : {-250.0f, -10.0f, 0.0f, 10.0f, 200.0f}) {
    SCOPED_TRACE(d);
    Recorder rec;
    ASSERT_EQ(OffsetOutline(Shape().Circle(0, 0, r).View(), d, Record, &rec), 0);
    const std::vector<Polygon> polygons = Polygons(rec.segments);
    ASSERT_EQ(polygons.size(), 1u);
    const Polygon& p = polygons[0];
    EXPECT_LT(p.size(), 1000u);
    const double lo = r + d - 2 * kOffsetTolerance - 0.01, hi = r * 1.0003 + d + 0.01;
    for (size_t i = 0; i < p.size(); ++i) {
      const PathPoint a = p[i], b = p[(i + 1) % p.size()];
      const double vertex = std::hypot(a.x, a.y);
      const double middle = std::hypot((a.x + b.x) / 2.0, (a.y + b.y) / 2.0);
      ASSERT_TRUE(vertex >= lo && vertex <= hi) << vertex;
      ASSERT_TRUE(middle >= lo && middle <= hi) << middle;
    }
  }
}

// n corners round the origin alternating between radii r_in and r_out, winding `turns` times:
// a regular polygon when the radii agree, teeth or a self-crossing star when they differ.
Shape Zigzag(int n, double r_in, double r_out, int turns = 1) {
  Shape s;
  for (int i = 0; i < n; ++i) {
    const double a = 2 * kPi * turns * i / n, r = i % 2 ? r_in : r_out;
    s.Add(i ? kPathLineTo : kPathMoveTo, static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)));
  }
  return s.Add(kPathClose, s.points[0].x, s.points[0].y);
}

// Outlines of thousands of vertices spaced far closer than the distance (each round join
// overlapping hundreds of others), grown and shrunk: the region is the one a few vertices give,
// within the approximations' bands, and the outline stays one clean loop.
TEST(OffsetOutline, DenseOutlinesGiveTheOffsetRegion) {
  // Arcs and flattening cut inward by up to kOffsetTolerance; growing runs of vertices from
  // their hulls and simplifying reach outward by up to 1/16 + 1/64 px.
  const auto band = [](double radius) { return 2 * kPi * radius * (kOffsetTolerance + 1.0 / 16 + 1.0 / 64); };
  // A ring: the outline grown or shrunk is two loops, one inside the other.
  Shape ring = Zigzag(10000, 400, 400);
  const Shape hole = Zigzag(10000, 200, 200, -1);  // the other way round
  ring.points.insert(ring.points.end(), hole.points.begin(), hole.points.end());
  ring.codes.insert(ring.codes.end(), hole.codes.begin(), hole.codes.end());
  // clang-format off
  const std::vector<AreaCase> cases = {
      {"ring grown 10", ring, 10, kPi * (410 * 410 - 190 * 190), band(410) + band(190), 2,
       {{300, 0, true}, {195, 0, true}, {185, 0, false}, {405, 0, true}, {415, 0, false}}},
      {"ring shrunk 10", ring, -10, kPi * (390 * 390 - 210 * 210), band(390) + band(210), 2,
       {{300, 0, true}, {205, 0, false}, {215, 0, true}, {385, 0, true}, {395, 0, false}}},
      {"10,000-gon grown half a pixel", Zigzag(10000, 400, 400), 0.5f, kPi * 400.5 * 400.5, band(400.5), 1, {}},
      {"10,000-gon grown 300", Zigzag(10000, 400, 400), 300, kPi * 700 * 700, band(700), 1,
       {{699.5, 0, true}, {700.5, 0, false}, {0, 0, true}}},
      {"10,000-gon shrunk 30", Zigzag(10000, 400, 400), -30, kPi * 370 * 370, band(370), 1,
       {{369.5, 0, true}, {370.5, 0, false}, {0, 0, true}}},
      {"100,000-gon grown 10", Zigzag(100000, 400, 400), 10, kPi * 410 * 410, band(410), 1,
       {{409.5, 0, true}, {410.5, 0, false}}},
      {"10,000 teeth grown 300", Zigzag(10000, 397, 403), 300, kPi * 703 * 703, 2 * kPi * 703 * 0.5, 1,
       {{702.5, 0, true}, {703.5, 0, false}, {0, 0, true}}},
      {"10,000 teeth shrunk 30", Zigzag(10000, 397, 403), -30, kAnyArea, 0, 1,
       {{366, 0, true}, {368, 0, false}, {0, 0, true}}},
      {"3,000-point star crossing itself grown 1000", Zigzag(3000, 200, 480, 3), 1000, kAnyArea, 0, 1,
       {{1479, 0, true}, {1481, 0, false}, {0, 0, true}, {0, -1479, true}}},
      {"3,000-point star crossing itself shrunk 30", Zigzag(3000, 200, 480, 3), -30, kAnyArea, 0, kAnyCount,
       {{160, 0, true}, {0, 160, true}, {300, 0, false}}},
  };
  // clang-format on
  for (const AreaCase& c : cases) ExpectRegion(c);
}

// An outline with tens of thousands of edges across every row would take minutes; it is refused
// at once, whatever the distance, and nothing is streamed.
TEST(OffsetOutline, RefusesOutlinesTooIntricateToOffset) {
  const Shape star = Zigzag(100000, 100, 480);
  for (float d : {10.0f, -10.0f, 0.0f}) {
    SCOPED_TRACE(d);
    Recorder rec;
    EXPECT_EQ(OffsetOutline(star.View(), d, Record, &rec), kZPRErrTooComplex);
    EXPECT_EQ(
        ZPROffsetPathGetOffsetPathV4(Record, nullptr, &rec, star.View().count, star.points.data(), star.codes.data(), 0,
                                     d, 0, 1, 1.0f, 1, 0.0f, 0.0f, 1, 0.5f, 0, nullptr, -1.0f),
        kZPRErrTooComplex);
    EXPECT_TRUE(rec.segments.empty());
  }
}

TEST(OffsetOutline, RefusesDamagedInputAndStreamsNothing) {
  const auto square_with = [](PathPoint bad) {
    return Shape().Add(kPathMoveTo, 0, 0).Add(kPathLineTo, bad.x, bad.y).Add(kPathLineTo, 0, 10);
  };
  Shape cut_at_end = Shape().Add(kPathMoveTo, 0, 0);
  cut_at_end.Add(kPathCurvePoint, 10, 0).Add(kPathCurvePoint, 10, 10);
  Shape cut_by_line = cut_at_end;
  cut_by_line.Add(kPathLineTo, 0, 10);
  Shape bad_control = Shape().Add(kPathMoveTo, 0, 0).Add(kPathCurvePoint, 10, 0);
  bad_control.Add(kPathCurvePoint, kNaN, 10).Add(kPathCurvePoint, 0, 10);
  struct Case {
    std::string name;
    Shape shape;
    float distance = 10;
    int32_t count_change = 0;  // added to the true count
    bool null_points = false;
  };
  const std::vector<Case> cases = {
      {"NaN coordinate", square_with({kNaN, 5})},
      {"infinite coordinate", square_with({5, -kInf})},
      {"1e30 coordinate", square_with({1e30f, 5})},
      {"coordinate beyond the accepted range", square_with({5, 300000})},
      {"NaN control point", bad_control},
      {"cubic cut short by the end", cut_at_end},
      {"cubic cut short by a line", cut_by_line},
      {"close without move", Shape().Add(kPathClose, 0, 0).Rect(0, 0, 10, 10)},
      {"close after close", Shape().Rect(0, 0, 10, 10).Add(kPathClose, 0, 0)},
      {"line without move", Shape().Add(kPathLineTo, 5, 5).Rect(0, 0, 10, 10)},
      {"unknown code", Shape().Rect(0, 0, 10, 10).Add(7, 1, 1)},
      {"NaN distance", Shape().Rect(0, 0, 10, 10), kNaN},
      {"infinite distance", Shape().Rect(0, 0, 10, 10), kInf},
      {"negative count", Shape().Rect(0, 0, 10, 10), 10, -6},
      {"missing points", Shape().Rect(0, 0, 10, 10), 10, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PathView view = c.shape.View();
    view.count += c.count_change;
    if (c.null_points) view.points = nullptr;
    Recorder rec;
    EXPECT_EQ(OffsetOutline(view, c.distance, Record, &rec), kZPRErrBadPath);
    EXPECT_EQ(ZPROffsetPathGetOffsetPathV4(Record, nullptr, &rec, view.count, view.points, view.codes, 0, c.distance, 0,
                                           1, 1.0f, 1, 0.0f, 0.0f, 1, 0.5f, 0, nullptr, -1.0f),
              kZPRErrBadPath);
    EXPECT_TRUE(rec.segments.empty());
  }
}

// The C entry point is the same service: identical streams, the callback's result stops it.
TEST(OffsetOutline, EntryPointMatchesAndStopsOnCallbackResult) {
  const Shape two = Shape().Rect(0, 0, 100, 100).Circle(300, 300, 50);
  struct Case {
    float distance;
    size_t stop_at;
    int32_t stop_code;
  };
  const std::vector<Case> cases = {{10, 0, 0},  {-20, 0, 0}, {0, 0, 0},   {10, 1, 42},
                                   {10, 5, -7}, {-5, 6, 1},  {200, 9, 99}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.distance << " stop at " << c.stop_at);
    Recorder direct{{}, c.stop_at, c.stop_code}, entry{{}, c.stop_at, c.stop_code};
    const int32_t expected = c.stop_at ? c.stop_code : 0;
    EXPECT_EQ(OffsetOutline(two.View(), c.distance, Record, &direct), expected);
    EXPECT_EQ(
        ZPROffsetPathGetOffsetPathV4(Record, nullptr, &entry, two.View().count, two.points.data(), two.codes.data(), 0,
                                     c.distance, 0, 1, 1.0f, 1, 0.0f, 0.0f, 1, 0.5f, 0, nullptr, -1.0f),
        expected);
    EXPECT_TRUE(direct.segments == entry.segments);
    if (c.stop_at) {
      EXPECT_EQ(direct.segments.size(), c.stop_at);
    }
  }
  EXPECT_EQ(ZPROffsetPathGetStrokePathV3(Record, nullptr, 0, nullptr, nullptr, 1), kZPRErrUnsupported);
  EXPECT_EQ(ZPROffsetPathGetDashPathProcV1(Record, nullptr, 0, nullptr, nullptr, nullptr, 0), kZPRErrUnsupported);
}

}  // namespace
}  // namespace quill
