// The offset-path service: flattens the outline, resolves overlaps with non-zero winding, then
// grows or shrinks the resolved region with round joins. Clipping and offsetting run in the
// polygon library's integer coordinates; every call owns all of its state.
#include "platform/graphics/offset_path.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <polyclipping/clipper.hpp>
#include <utility>
#include <vector>

namespace quill {
namespace {

namespace cl = ClipperLib;

// Pixels to integer units. A power of two scales floats exactly, and 1/1024 px steps round
// coordinates by at most 1/2048 px, far inside kOffsetTolerance.
constexpr double kScale = 1024;

// Largest accepted |coordinate| and |distance|, in pixels (kMaxOffsetCoordinate).
// Coordinates beyond it are refused as damaged rather than clamped, since clamping would
// silently change the shape; distances beyond it are clamped, which changes nothing a frame
// can show (such a shrink empties any accepted outline, such a grow covers any frame). Scaled,
// outline plus distance stays within 2^29 units: under the 2^30 bound below which the library's
// products fit 64-bit integers, and far from the limit at which it throws.
constexpr double kMaxCoordinate = kMaxOffsetCoordinate;

// Bounds the work one cubic can cause; reached only by curves spanning tens of thousands of
// pixels, where the tolerance then degrades instead of the time.
constexpr int kMaxCurveSteps = 1024;

bool Acceptable(PathPoint p) {
  // Written so that NaN fails too.
  return std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate;
}

cl::IntPoint ToUnits(double x, double y) { return cl::IntPoint(std::llround(x * kScale), std::llround(y * kScale)); }

// Appends the cubic p0..p3 (p0 already in `out`) as line segments. A chord over a parameter
// step h strays at most h^2/8 * max|B''| from the curve, and |B''| <= 6 * max second difference
// of the control points, so n = sqrt(6m / (8 tolerance)) steps keep within the tolerance.
void AppendCubic(cl::Path& out, PathPoint p0, PathPoint p1, PathPoint p2, PathPoint p3) {
  const double m = std::max(std::hypot(double{p0.x} - 2.0 * p1.x + p2.x, double{p0.y} - 2.0 * p1.y + p2.y),
                            std::hypot(double{p1.x} - 2.0 * p2.x + p3.x, double{p1.y} - 2.0 * p2.y + p3.y));
  const double wanted = std::ceil(std::sqrt(0.75 * m / kOffsetTolerance));
  const int n = static_cast<int>(std::clamp(wanted, 1.0, double{kMaxCurveSteps}));
  for (int k = 1; k < n; ++k) {
    const double t = static_cast<double>(k) / n, u = 1 - t;
    const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
    out.push_back(ToUnits(a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y));
  }
  out.push_back(ToUnits(p3.x, p3.y));
}

// Turns the code stream into closed polygons in integer units; false for damaged input. Open
// sub-outlines count as closed, as they do when filled.
bool Flatten(const PathView& path, cl::Paths& out) {
  if (path.count < 0 || (path.count > 0 && (path.points == nullptr || path.codes == nullptr))) {
    return false;
  }
  cl::Path current;
  bool open = false;
  PathPoint last{};
  const auto finish = [&] {
    if (current.size() >= 3) out.push_back(std::move(current));  // fewer enclose nothing
    current.clear();
    open = false;
  };
  for (int32_t i = 0; i < path.count; ++i) {
    const PathPoint p = path.points[i];
    if (!Acceptable(p)) return false;
    switch (path.codes[i]) {
      case kPathMoveTo:
        finish();
        open = true;
        current.push_back(ToUnits(p.x, p.y));
        last = p;
        break;
      case kPathLineTo:
        if (!open) return false;
        current.push_back(ToUnits(p.x, p.y));
        last = p;
        break;
      case kPathCurvePoint: {
        if (!open || path.count - i < 3 || path.codes[i + 1] != kPathCurvePoint ||
            path.codes[i + 2] != kPathCurvePoint) {
          return false;
        }
        const PathPoint c2 = path.points[i + 1], end = path.points[i + 2];
        if (!Acceptable(c2) || !Acceptable(end)) return false;
        AppendCubic(current, last, p, c2, end);
        last = end;
        i += 2;
        break;
      }
      case kPathClose:
        if (!open) return false;
        finish();
        break;
      default: return false;
    }
  }
  finish();
  return true;
}

// The library offsets a whole outline in one go at a cost of up to the square of its vertex
// count: every round join is intersected with every other one it overlaps, and a distance far
// above the vertex spacing overlaps them all. That stays cheap up to a few hundred vertices, and
// up to a few thousand on smooth outlines, whose joins are slivers (little total turning);
// beyond that the region is built piecewise instead, which costs more per vertex but grows with
// the count only.
constexpr std::size_t kWholeOutlineLimit = 256;
constexpr std::size_t kWholeSmoothOutlineLimit = 2048;
constexpr double kSmoothTurning = 16 * 3.14159265358979323846;  // radians, all outlines together

// The sum of the absolute turning angles at the outlines' vertices, in radians.
double TotalTurning(const cl::Paths& outlines) {
  double total = 0;
  for (const cl::Path& contour : outlines) {
    const std::size_t n = contour.size();
    for (std::size_t k = 0; k < n; ++k) {
      const cl::IntPoint &a = contour[(k + n - 1) % n], &b = contour[k], &c = contour[(k + 1) % n];
      const double ux = double(b.X - a.X), uy = double(b.Y - a.Y), vx = double(c.X - b.X), vy = double(c.Y - b.Y);
      total += std::fabs(std::atan2(ux * vy - uy * vx, ux * vx + uy * vy));
    }
  }
  return total;
}

bool OffsetWhole(const cl::Paths& outlines) {
  std::size_t vertices = 0;
  for (const cl::Path& contour : outlines) vertices += contour.size();
  return vertices <= kWholeOutlineLimit ||
         (vertices <= kWholeSmoothOutlineLimit && TotalTurning(outlines) <= kSmoothTurning);
}

// How far the piecewise offset may reach beyond the true one, in units. A run of vertices is
// grown as its convex hull: a point within the distance d of the hull lies within
// sqrt(d^2 + (e/2)^2) of one of the run's vertices, e being the run's extent, so runs up to
// e = sqrt(8 d kHullSlackUnits) stay within the slack.
constexpr double kHullSlackUnits = kScale / 16;

// Longest run grown as one hull, in vertices: bounds the hull's sorting per run.
constexpr std::size_t kMaxRun = 4096;

// How far simplification may move a resolved outline, in units: a small fraction of a pixel,
// so dense outlines (many vertices per pixel) lose only vertices no raster can see.
constexpr double kSimplifyUnits = kScale / 64;

// Squared distance of p from the segment a-b, in units squared.
double SquaredDistanceToSegment(const cl::IntPoint& p, const cl::IntPoint& a, const cl::IntPoint& b) {
  const double dx = double(b.X - a.X), dy = double(b.Y - a.Y);
  double px = double(p.X - a.X), py = double(p.Y - a.Y);
  const double length2 = dx * dx + dy * dy;
  if (length2 > 0) {
    const double t = std::clamp((px * dx + py * dy) / length2, 0.0, 1.0);
    px -= t * dx, py -= t * dy;
  }
  return px * px + py * py;
}

// Marks the vertices of contour[first..last] to keep so the chain between kept vertices stays
// within kSimplifyUnits of the dropped ones (Douglas-Peucker, without recursion).
void MarkKept(const cl::Path& contour, std::size_t first, std::size_t last, std::vector<char>& keep,
              std::vector<std::pair<std::size_t, std::size_t>>& stack) {
  const double tolerance2 = kSimplifyUnits * kSimplifyUnits;
  stack.assign(1, {first, last});
  while (!stack.empty()) {
    const auto [a, b] = stack.back();
    stack.pop_back();
    double worst = tolerance2;
    std::size_t at = a;
    for (std::size_t k = a + 1; k < b; ++k) {
      const double d2 = SquaredDistanceToSegment(contour[k], contour[a], contour[b % contour.size()]);
      if (d2 > worst) worst = d2, at = k;
    }
    if (at == a) continue;
    keep[at] = 1;
    stack.push_back({a, at});
    stack.push_back({at, b});
  }
}

// Drops vertices that move the outline by less than kSimplifyUnits. Windows of at most 1024
// vertices bound the work per vertex whatever the outline's shape.
void Simplify(cl::Path& contour) {
  constexpr std::size_t kWindow = 1024;
  const std::size_t n = contour.size();
  if (n <= 4) return;
  std::vector<char> keep(n, 0);
  std::vector<std::pair<std::size_t, std::size_t>> stack;
  for (std::size_t first = 0; first < n; first += kWindow) {
    keep[first] = 1;
    MarkKept(contour, first, std::min(first + kWindow, n), keep, stack);  // n wraps to vertex 0
  }
  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k)
    if (keep[k]) contour[kept++] = contour[k];
  contour.resize(kept);
}

// The convex hull of the points, counter-clockwise in the library's orientation test (monotone
// chain); the points are reordered.
cl::Path ConvexHull(cl::Path& points) {
  std::sort(points.begin(), points.end(),
            [](const cl::IntPoint& a, const cl::IntPoint& b) { return a.X < b.X || (a.X == b.X && a.Y < b.Y); });
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 3) return points;
  const auto turn = [](const cl::IntPoint& o, const cl::IntPoint& a, const cl::IntPoint& b) {
    return double(a.X - o.X) * double(b.Y - o.Y) - double(a.Y - o.Y) * double(b.X - o.X);
  };
  cl::Path hull(2 * points.size());
  std::size_t k = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    while (k >= 2 && turn(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  for (std::size_t i = points.size() - 1, lower = k + 1; i-- > 0;) {
    while (k >= lower && turn(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  hull.resize(k - 1);
  return hull;
}

// Runs grown by one offsetter, and regions merged by one union, at each step: the library's
// set-up per call costs as much as a few small regions, and a handful of overlapping clean
// regions keep its sweep narrow.
constexpr std::size_t kRunsPerGrowth = 8;
constexpr std::size_t kRegionsPerUnion = 4;

// The points within `units` of the outlines' edges. The outlines are cut into runs of
// consecutive vertices no wider than the hull slack allows; each run is grown from its convex
// hull (a disc, a stadium, exact for a single edge, or a rounded convex polygon), and then
// neighbouring regions are merged a few at a time, so no union meets more than a few regions
// that are already clean and no round join is ever intersected with the hundreds of others it
// may overlap.
void NearOutlines(const cl::Paths& outlines, double units, cl::Paths& out) {
  const double widest = std::sqrt(8 * units * kHullSlackUnits);
  std::vector<cl::Paths> regions;
  cl::ClipperOffset grower(2.0, kOffsetTolerance * kScale);
  std::size_t pending = 0;
  const auto grow = [&] {
    regions.emplace_back();
    grower.Execute(regions.back(), units);
    grower.Clear();
    pending = 0;
  };
  cl::Path run;
  for (const cl::Path& contour : outlines) {
    const std::size_t n = contour.size();
    for (std::size_t first = 0; first < n;) {
      // The run's extent is at most its bounding box's diagonal.
      cl::cInt x0 = contour[first].X, x1 = x0, y0 = contour[first].Y, y1 = y0;
      std::size_t last = first + 1;  // every run holds at least one edge
      for (; last <= n; ++last) {
        const cl::IntPoint& p = contour[last % n];
        const cl::cInt nx0 = std::min(x0, p.X), nx1 = std::max(x1, p.X), ny0 = std::min(y0, p.Y),
                       ny1 = std::max(y1, p.Y);
        if (last > first + 1 &&
            (std::hypot(double(nx1 - nx0), double(ny1 - ny0)) > widest || last - first >= kMaxRun)) {
          break;
        }
        x0 = nx0, x1 = nx1, y0 = ny0, y1 = ny1;
      }
      --last;  // the run's final vertex, shared with the next run
      run.assign(contour.begin() + static_cast<std::ptrdiff_t>(first),
                 contour.begin() + static_cast<std::ptrdiff_t>(std::min(last, n - 1) + 1));
      if (last == n) run.push_back(contour[0]);
      const cl::Path hull = ConvexHull(run);
      grower.AddPath(hull, cl::jtRound, hull.size() < 3 ? cl::etOpenRound : cl::etClosedPolygon);
      if (++pending == kRunsPerGrowth) grow();
      first = last;
    }
  }
  if (pending > 0) grow();
  while (regions.size() > 1) {
    std::size_t merged = 0;
    for (std::size_t k = 0; k < regions.size(); k += kRegionsPerUnion) {
      cl::Clipper joiner;
      for (std::size_t j = k; j < std::min(k + kRegionsPerUnion, regions.size()); ++j)
        joiner.AddPaths(regions[j], cl::ptSubject, true);
      cl::Paths joined;
      joiner.Execute(cl::ctUnion, joined, cl::pftNonZero, cl::pftNonZero);
      regions[merged++] = std::move(joined);
    }
    regions.resize(merged);
  }
  if (!regions.empty()) out = std::move(regions[0]);
}

// Most vertex-in-region tests SideOfOutlines makes (outlines of the near band times vertices of
// the region) before it leaves the work to the library instead.
constexpr double kMaxSideTests = 2e7;

// Whether p lies inside the region the outlines bound (outer outlines and holes that do not
// cross); nullopt when it lies on one of them.
std::optional<bool> Inside(const cl::Paths& outlines, const cl::IntPoint& p) {
  bool inside = false;
  for (const cl::Path& contour : outlines) {
    const int at = cl::PointInPolygon(p, contour);
    if (at < 0) return std::nullopt;
    inside ^= at != 0;
  }
  return inside;
}

// The outline of the region grown (region plus the near band) or shrunk (region less the band)
// without another pass of the library over the region: every outline of the band lies at the
// distance from the region's boundary, so it bounds the grown region where it lies outside the
// region and the shrunk region where it lies inside (reversed, since the band is on its other
// side). Outer outlines come out with a positive area, holes with a negative one. False when
// some outline cannot be placed for sure, or placing them all would cost too much.
bool SideOfOutlines(const cl::Paths& region, const cl::Paths& band, bool grow, cl::Paths& out) {
  std::size_t vertices = 0;
  for (const cl::Path& contour : region) vertices += contour.size();
  if (double(vertices) * double(band.size()) > kMaxSideTests) return false;
  cl::Paths kept;
  for (const cl::Path& contour : band) {
    if (contour.size() < 3) continue;
    const std::optional<bool> inside = Inside(region, contour[0]);
    if (!inside) return false;
    if (*inside == grow) continue;
    kept.push_back(contour);
    if (!grow) std::reverse(kept.back().begin(), kept.back().end());
  }
  out = std::move(kept);
  return true;
}

// The tree's outlines, outer ones turned to a positive area and holes to a negative one.
void Orient(const cl::PolyTree& tree, cl::Paths& out) {
  out.clear();
  for (const cl::PolyNode* node = tree.GetFirst(); node != nullptr; node = node->GetNext()) {
    out.push_back(node->Contour);
    if (cl::Orientation(node->Contour) == node->IsHole()) std::reverse(out.back().begin() + 1, out.back().end());
  }
}

// The work of one sweep of the library over these outlines: at each distinct height of a vertex
// it visits every edge that spans that height. Outlines whose edges stack deep along every
// horizontal line (thousands of spikes, a fine comb) cost the product of the two.
double SweepWork(const cl::Paths& outlines) {
  std::vector<std::pair<cl::cInt, int>> events;  // height, +1 edge starts or -1 ends
  for (const cl::Path& contour : outlines) {
    for (std::size_t k = 0; k < contour.size(); ++k) {
      const cl::cInt a = contour[k].Y, b = contour[(k + 1) % contour.size()].Y;
      if (a == b) continue;
      events.push_back({std::min(a, b), +1});
      events.push_back({std::max(a, b), -1});
    }
  }
  std::sort(events.begin(), events.end());
  double work = 0, active = 0;
  for (std::size_t k = 0; k < events.size();) {
    const cl::cInt y = events[k].first;
    for (; k < events.size() && events[k].first == y; ++k) active += events[k].second;
    work += active + 1;
  }
  return work;
}

// Computes the offset region's outlines, outer ones with a positive area and holes with a
// negative one: 0, kZPRErrBadPath for
// damaged input or when the library gives up (it swallows its own allocation failures), or
// kZPRErrTooComplex.
int32_t Compute(const PathView& path, double distance, cl::Paths& oriented) {
  cl::PolyTree result;
  cl::Paths flat;
  if (!Flatten(path, flat)) return kZPRErrBadPath;
  if (SweepWork(flat) > kMaxOffsetWork) return kZPRErrTooComplex;

  // Offsetting works per polygon, so overlaps and self-crossings are merged first. The library
  // drops outlines that enclose nothing and then reports failure for having no work: that is an
  // empty result, not an error.
  cl::Clipper resolver;
  if (!resolver.AddPaths(flat, cl::ptSubject, true)) return 0;
  cl::PolyTree resolved;
  if (!resolver.Execute(cl::ctUnion, distance == 0 ? result : resolved, cl::pftNonZero, cl::pftNonZero)) {
    return kZPRErrBadPath;
  }
  if (distance == 0) return Orient(result, oriented), 0;

  cl::Paths outlines;
  cl::PolyTreeToPaths(resolved, outlines);  // holes keep their opposite orientation
  const double units = std::clamp(distance, -kMaxCoordinate, kMaxCoordinate) * kScale;
  if (OffsetWhole(outlines)) {
    cl::ClipperOffset offsetter(2.0, kOffsetTolerance * kScale);  // miter limit unused: round joins
    offsetter.AddPaths(outlines, cl::jtRound, cl::etClosedPolygon);
    offsetter.Execute(result, units);
    return Orient(result, oriented), 0;
  }

  // Growing adds the points near the outlines to the region; shrinking takes them away.
  for (cl::Path& contour : outlines) Simplify(contour);
  cl::Paths near;
  NearOutlines(outlines, std::fabs(units), near);
  if (std::fabs(units) >= kScale && SideOfOutlines(outlines, near, units > 0, oriented)) return 0;
  cl::Clipper combiner;
  combiner.AddPaths(outlines, cl::ptSubject, true);
  combiner.AddPaths(near, cl::ptClip, true);
  if (!combiner.Execute(units > 0 ? cl::ctUnion : cl::ctDifference, result, cl::pftNonZero, cl::pftNonZero)) {
    return kZPRErrBadPath;
  }
  return Orient(result, oriented), 0;
}

int32_t Emit(ZPROffsetSegmentCallback sink, void* user, int32_t type, const cl::IntPoint& p) {
  return sink(static_cast<float>(p.X / kScale), static_cast<float>(p.Y / kScale), 0, 0, 0, 0, type, user);
}

// Streams every outline as it is: oriented, a non-zero fill of the stream gives the region
// whatever nesting it has.
int32_t Stream(const cl::Paths& outlines, ZPROffsetSegmentCallback sink, void* user) {
  for (const cl::Path& contour : outlines) {
    if (contour.size() < 3) continue;
    if (int32_t r = Emit(sink, user, 0, contour[0])) return r;
    for (std::size_t k = 1; k < contour.size(); ++k) {
      if (int32_t r = Emit(sink, user, 1, contour[k])) return r;
    }
    if (int32_t r = Emit(sink, user, 3, contour[0])) return r;
  }
  return 0;
}

}  // namespace

int32_t OffsetOutline(const PathView& path, float distance, ZPROffsetSegmentCallback sink, void* user) {
  if (sink == nullptr || !std::isfinite(distance)) return kZPRErrBadPath;
  cl::Paths result;
  try {
    if (const int32_t r = Compute(path, distance, result)) return r;
  } catch (...) {
    // Only allocation failure can reach here (coordinates are range-checked first); the caller
    // takes the same failure path as for a path it cannot use, and nothing was streamed.
    return kZPRErrBadPath;
  }
  return Stream(result, sink, user);
}

}  // namespace quill

// Only the distance is honoured: the service always offsets with round joins and flattens to
// its own kOffsetTolerance, so join, cap, miter limit, dashes, smoothing, tolerance, precision
// and the rest are accepted and ignored.
extern "C" int32_t ZPROffsetPathGetOffsetPathV4(ZPROffsetSegmentCallback callback, void* /*reserved*/, void* user,
                                                int32_t segment_count, const void* points, const void* codes,
                                                int32_t /*flags*/, float distance, int32_t /*join*/, int32_t /*cap*/,
                                                float /*miter_limit*/, int32_t /*closed*/, float /*dash_offset*/,
                                                float /*dash_phase*/, int32_t /*smooth*/, float /*tolerance*/,
                                                int32_t /*options*/, void* /*progress*/, float /*precision*/) {
  const quill::PathView path{static_cast<const quill::PathPoint*>(points), static_cast<const uint32_t*>(codes),
                             segment_count};
  return quill::OffsetOutline(path, distance, callback, user);
}

extern "C" int32_t ZPROffsetPathGetStrokePathV3(ZPROffsetSegmentCallback, void*, int32_t, const void*, const void*,
                                                float) {
  return kZPRErrUnsupported;
}

extern "C" int32_t ZPROffsetPathGetDashPathProcV1(ZPROffsetSegmentCallback, void*, int32_t, const void*, const void*,
                                                  const float*, int32_t) {
  return kZPRErrUnsupported;
}
