// The outline format shared by the graphics components: parallel arrays of points and segment
// codes. A cubic is three consecutive curve points (two controls, then the end point); a close
// entry repeats the sub-outline's first point.
#pragma once

#include <cstdint>

namespace quill {

struct PathPoint {
  float x, y;
};

enum PathCode : uint32_t {
  kPathMoveTo = 0,
  kPathLineTo = 1,
  kPathCurvePoint = 2,
  kPathClose = 3,
};

struct PathView {
  const PathPoint* points = nullptr;
  const uint32_t* codes = nullptr;
  int32_t count = 0;
};

// A 2x3 affine map in row-vector order: (x, y) -> (x*m00 + y*m10 + m20, x*m01 + y*m11 + m21),
// stored m00, m01, m10, m11, m20, m21.
struct Affine {
  float m[6] = {1, 0, 0, 1, 0, 0};
  PathPoint Apply(PathPoint p) const { return {p.x * m[0] + p.y * m[2] + m[4], p.x * m[1] + p.y * m[3] + m[5]}; }
};

}  // namespace quill
