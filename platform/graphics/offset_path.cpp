// The offset-path service: flattens the outline, resolves overlaps with non-zero winding, then
// grows or shrinks the resolved region with round joins. Clipping and offsetting run in the
// polygon library's integer coordinates; every call owns all of its state.
#include "platform/graphics/offset_path.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <polyclipping/clipper.hpp>

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

cl::IntPoint ToUnits(double x, double y) {
  return cl::IntPoint(std::llround(x * kScale), std::llround(y * kScale));
}

// Appends the cubic p0..p3 (p0 already in `out`) as line segments. A chord over a parameter
// step h strays at most h^2/8 * max|B''| from the curve, and |B''| <= 6 * max second difference
// of the control points, so n = sqrt(6m / (8 tolerance)) steps keep within the tolerance.
void AppendCubic(cl::Path& out, PathPoint p0, PathPoint p1, PathPoint p2, PathPoint p3) {
  const double m =
      std::max(std::hypot(double{p0.x} - 2.0 * p1.x + p2.x, double{p0.y} - 2.0 * p1.y + p2.y),
               std::hypot(double{p1.x} - 2.0 * p2.x + p3.x, double{p1.y} - 2.0 * p2.y + p3.y));
  const double wanted = std::ceil(std::sqrt(0.75 * m / kOffsetTolerance));
  const int n = static_cast<int>(std::clamp(wanted, 1.0, double{kMaxCurveSteps}));
  for (int k = 1; k < n; ++k) {
    const double t = static_cast<double>(k) / n, u = 1 - t;
    const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
    out.push_back(ToUnits(a * p0.x + b * p1.x + c * p2.x + d * p3.x,
                          a * p0.y + b * p1.y + c * p2.y + d * p3.y));
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
      default:
        return false;
    }
  }
  finish();
  return true;
}

// Computes the offset region as a tree of outer outlines and holes; false for damaged input or
// when the library gives up (it swallows its own allocation failures).
bool Compute(const PathView& path, double distance, cl::PolyTree& result) {
  cl::Paths flat;
  if (!Flatten(path, flat)) return false;

  // Offsetting works per polygon, so overlaps and self-crossings are merged first. The library
  // drops outlines that enclose nothing and then reports failure for having no work: that is an
  // empty result, not an error.
  cl::Clipper resolver;
  if (!resolver.AddPaths(flat, cl::ptSubject, true)) return true;
  cl::PolyTree resolved;
  if (!resolver.Execute(cl::ctUnion, distance == 0 ? result : resolved, cl::pftNonZero,
                        cl::pftNonZero)) {
    return false;
  }
  if (distance == 0) return true;

  cl::Paths outlines;
  cl::PolyTreeToPaths(resolved, outlines);  // holes keep their opposite orientation
  cl::ClipperOffset offsetter(2.0, kOffsetTolerance * kScale);  // miter limit unused: round joins
  offsetter.AddPaths(outlines, cl::jtRound, cl::etClosedPolygon);
  const double clamped = std::clamp(distance, -kMaxCoordinate, kMaxCoordinate);
  offsetter.Execute(result, clamped * kScale);
  return true;
}

int32_t Emit(ZPROffsetSegmentCallback sink, void* user, int32_t type, const cl::IntPoint& p) {
  return sink(static_cast<float>(p.X / kScale), static_cast<float>(p.Y / kScale), 0, 0, 0, 0, type,
              user);
}

// Streams every outline of the tree; outer outlines get a positive shoelace area and holes a
// negative one, so a non-zero fill of the stream gives the region whatever nesting it has.
int32_t Stream(const cl::PolyTree& tree, ZPROffsetSegmentCallback sink, void* user) {
  for (const cl::PolyNode* node = tree.GetFirst(); node != nullptr; node = node->GetNext()) {
    const cl::Path& contour = node->Contour;
    const std::size_t n = contour.size();
    if (n < 3) continue;
    const bool reverse = cl::Orientation(contour) == node->IsHole();
    const auto at = [&](std::size_t k) -> const cl::IntPoint& {
      return contour[reverse ? (n - k) % n : k];
    };
    if (int32_t r = Emit(sink, user, 0, at(0))) return r;
    for (std::size_t k = 1; k < n; ++k) {
      if (int32_t r = Emit(sink, user, 1, at(k))) return r;
    }
    if (int32_t r = Emit(sink, user, 3, at(0))) return r;
  }
  return 0;
}

}  // namespace

int32_t OffsetOutline(const PathView& path, float distance, ZPROffsetSegmentCallback sink,
                      void* user) {
  if (sink == nullptr || !std::isfinite(distance)) return kZPRErrBadPath;
  cl::PolyTree result;
  try {
    if (!Compute(path, distance, result)) return kZPRErrBadPath;
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
extern "C" int32_t ZPROffsetPathGetOffsetPathV4(
    ZPROffsetSegmentCallback callback, void* /*reserved*/, void* user, int32_t segment_count,
    const void* points, const void* codes, int32_t /*flags*/, float distance, int32_t /*join*/,
    int32_t /*cap*/, float /*miter_limit*/, int32_t /*closed*/, float /*dash_offset*/,
    float /*dash_phase*/, int32_t /*smooth*/, float /*tolerance*/, int32_t /*options*/,
    void* /*progress*/, float /*precision*/) {
  const quill::PathView path{static_cast<const quill::PathPoint*>(points),
                             static_cast<const uint32_t*>(codes), segment_count};
  return quill::OffsetOutline(path, distance, callback, user);
}

extern "C" int32_t ZPROffsetPathGetStrokePathV3(ZPROffsetSegmentCallback, void*, int32_t,
                                                const void*, const void*, float) {
  return kZPRErrUnsupported;
}

extern "C" int32_t ZPROffsetPathGetDashPathProcV1(ZPROffsetSegmentCallback, void*, int32_t,
                                                  const void*, const void*, const float*, int32_t) {
  return kZPRErrUnsupported;
}
