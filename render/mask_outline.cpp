#include "render/mask_outline.h"

#include <cmath>

#include "mask/mask_geometry.h"
#include "platform/graphics/offset_path.h"
#include "services/component_broker.h"

namespace mask_render {
namespace {

using Mask::MaskVertex;

void CurveToNext(OutlineRecorder& r, const MaskVertex& from, float c2x, float c2y, const MaskVertex& next) {
  r.CurveTo(from.out_x, from.out_y, c2x, c2y, next.anchor_x, next.anchor_y);
}

double SquaredLeg(float x0, float y0, float x1, float y1) {
  const double dx = double(x1) - x0, dy = double(y1) - y0;
  return dx * dx + dy * dy;
}

}  // namespace

void BuildMaskOutline(OutlineRecorder& r, const std::vector<MaskVertex>& v, bool open) {
  const size_t n = v.size();
  size_t s = 0;  // first vertex of the current sub-outline
  for (size_t i = 0; i < n; ++i) {
    if (i == s) r.MoveTo(v[s].anchor_x, v[s].anchor_y);
    if (open && i == n - 1) return;  // no way back to the start
    const size_t next_index = (i == n - 1) ? s : i + 1;
    const MaskVertex& cur = v[i];
    const MaskVertex& next = v[next_index];
    switch (next.kind) {
      case Mask::kVertexCurve: CurveToNext(r, cur, next.in_x, next.in_y, next); break;
      case Mask::kVertexCorner:
        if (i == n - 1) {
          // The final close draws the straight edge back to a corner.
          if (cur.kind != Mask::kVertexCorner) CurveToNext(r, cur, next.anchor_x, next.anchor_y, next);
        } else if (cur.kind == Mask::kVertexCorner || (cur.out_x == next.anchor_x && cur.out_y == next.anchor_y)) {
          r.LineTo(next.anchor_x, next.anchor_y);
        } else {
          CurveToNext(r, cur, next.anchor_x, next.anchor_y, next);
        }
        break;
      case Mask::kVertexSeparator:
        // The separator ends this sub-outline; the vertex after it starts the next one.
        r.ClosePath();
        if (next_index != i + 1) return r.ClosePath();  // wrapped onto a separator: done
        s = i + 2;
        i = i + 1;
        break;
      default: break;  // an unknown kind draws nothing
    }
  }
  r.ClosePath();
}

ComponentRef NewPathFromRecorder(const OutlineRecorder& recorder) {
  const PathProcs& procs = Paths();
  ComponentRef path;
  CheckComponent(procs.new_path(path.out(), static_cast<int32_t>(recorder.count()), recorder.points(), recorder.codes(),
                                0, 0, 0x40000000, nullptr),
                 "NewPath");
  return path;
}

void TransformPath(float sx, float sy, ComponentRef& path) {
  Mask::Matrix3 m;
  Mask::ScaleMatrix(m, sx, sy, 0, 0);
  const float six[6] = {float(m.m[0]), float(m.m[1]), float(m.m[3]), float(m.m[4]), float(m.m[6]), float(m.m[7])};
  ComponentRef transformed;
  CheckComponent(Paths().transform(transformed.out(), path.get(), six, 0, 0), "Transform");
  path = std::move(transformed);
}

namespace {

// The offset works on square pixels at the layer's x resolution: x scaled by the pixel aspect,
// and y by the inverse of its own downsampling when that differs from x's.
float OffsetYScale(float dsx, float dsy) { return (dsx != dsy || std::isnan(dsx) || std::isnan(dsy)) ? dsy : 1.0f; }

}  // namespace

bool WithinOffsetRange(const std::vector<Mask::MaskVertex>& vertices, float dsx, float dsy, float par) {
  const double sx = par, sy = 1.0 / OffsetYScale(dsx, dsy);
  const auto fits = [&](float x, float y) {
    return std::fabs(x * sx) <= quill::kMaxOffsetCoordinate && std::fabs(y * sy) <= quill::kMaxOffsetCoordinate;
  };
  for (const Mask::MaskVertex& v : vertices)
    if (!fits(v.anchor_x, v.anchor_y) || !fits(v.in_x, v.in_y) || !fits(v.out_x, v.out_y)) return false;
  return true;
}

void OffsetMaskPath(ComponentRef& path, double expansion, float dsx, float dsy, float par) {
  const float ys = OffsetYScale(dsx, dsy);
  TransformPath(par, 1.0f / ys, path);

  int32_t count = 0;
  const void* points = nullptr;
  const void* codes = nullptr;
  CheckComponent(Paths().get_path_data(path.get(), &count, &points, &codes, nullptr), "GetPathData");
  const float d = static_cast<float>(expansion) * dsx;

  // No progress interface here: the service runs without one.
  void* progress =
      mask_effect::LookUpOptionalProcedure("QIBProgressInterface", "NewNullProgress", "QIBProgressNewNullProgress");
  (void)progress;
  ZPRGetOffsetPathProc offset = mask_effect::CachedOffsetPathProcs().offset_path;
  if (offset == nullptr) {
    mask_effect::ResolveOffsetPathProcs();
    offset = mask_effect::CachedOffsetPathProcs().offset_path;
    if (offset == nullptr) throw QIB_T_MT::CQIBError("Missing Interface");
  }
  OutlineRecorder result;
  OffsetOutlineFilter filter(&result, 1.0);
  const int32_t offset_result = offset(&OffsetOutlineFilter::Callback, nullptr, &filter, count, points, codes, 0, d, 0,
                                       1, 1.0f, 1, 0.0f, 0.0f, 1, 0.5f, 0, nullptr, -1.0f);
  // Said in the user's words: the render fails with this message rather than freezing.
  if (offset_result == kZPRErrTooComplex) throw QIB_T_MT::CQIBError(kTooIntricateToOffsetText, offset_result);
  CheckComponent(offset_result, "GetOffsetPath");
  filter.Flush();

  ComponentRef offset_path = NewPathFromRecorder(result);
  TransformPath(1.0f / par, ys, offset_path);
  path = std::move(offset_path);
}

int32_t OffsetOutlineFilter::Callback(float x1, float y1, float x2, float y2, float x3, float y3, int32_t type,
                                      void* user) {
  auto& f = *static_cast<OffsetOutlineFilter*>(user);
  switch (type) {
    case 0:
      f.Flush();
      f.pending_.MoveTo(x1, y1);
      f.last_x_ = x1;
      f.last_y_ = y1;
      break;
    case 1:
      if (f.pending_.count() == 0) f.pending_.MoveTo(f.last_x_, f.last_y_);  // a stream without its move-to
      f.pending_.LineTo(x1, y1);
      f.accumulated_ += SquaredLeg(f.last_x_, f.last_y_, x1, y1);
      f.last_x_ = x1;
      f.last_y_ = y1;
      break;
    case 2:
      if (f.pending_.count() == 0) f.pending_.MoveTo(f.last_x_, f.last_y_);
      f.pending_.CurveTo(x1, y1, x2, y2, x3, y3);
      f.accumulated_ +=
          SquaredLeg(f.last_x_, f.last_y_, x1, y1) + SquaredLeg(x1, y1, x2, y2) + SquaredLeg(x2, y2, x3, y3);
      f.last_x_ = x3;
      f.last_y_ = y3;
      break;
    case 3:
      f.pending_.ClosePath();
      f.Flush();
      break;
    default: break;
  }
  return 0;
}

void OffsetOutlineFilter::Flush() {
  if (accumulated_ > threshold_) {
    COR_AppendPathFunctor append(result_);
    pending_.Play(append);
  }
  pending_.Clear();
  accumulated_ = 0;
}

}  // namespace mask_render
