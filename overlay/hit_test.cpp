#include "overlay/hit_test.h"

#include <cmath>
#include <cstdlib>

#include "mask/mask_geometry.h"
#include "render/mask_outline.h"
#include "services/component_broker.h"
#include "services/graphics_procs.h"

namespace mask_overlay {
namespace {

using Mask::MaskVertex;

bool Selected(mask_effect::SequenceRecord* record, size_t i) {
  return record != nullptr && mask_effect::IsSelected(*record, i);
}

// The one-pixel clip around a layer point, or nothing when the point is off any sane raster.
bool PixelClip(Point p, TQEClipRecord& clip) {
  if (!(std::fabs(p.x) < 1e7f) || !(std::fabs(p.y) < 1e7f) || p.x < 0 || p.y < 0) return false;
  const int32_t x = int32_t(p.x), y = int32_t(p.y);
  clip = {x, y, x + 1, y + 1, x, x + 1};
  return true;
}

// Runs a painter over the clip and reports whether its one pixel is covered (a full run there).
template <typename MakePainter>
bool CoversPixel(const TQEClipRecord& clip, MakePainter make) {
  try {
    mask_render::ComponentRef painter;
    if (make(painter.out()) != 0) return false;
    const QIMRasterPainterInfo* info = nullptr;
    if (mask_render::Painters().get_info(&info, painter.get()) != 0 || info == nullptr) return false;
    const QIMRowRun* run = info->row(info->context, clip.top);
    for (int32_t x = clip.left; run != nullptr; ++run) {
      if (run->end_x > clip.left) return run->kind == 1;
      x = run->end_x;
      if (x >= clip.right) break;
    }
  } catch (const std::exception&) {
    // No raster engine: nothing can be hit this way.
  }
  return false;
}

std::vector<MaskVertex> EdgeVertices(const std::vector<MaskVertex>& v, uint32_t edge) {
  const size_t n = v.size();
  MaskVertex a = v[edge % n], b = v[(edge + 1) % n];
  // The edge alone, as an open two-vertex outline with the same segment.
  return {a, b};
}

}  // namespace

int32_t ManhattanDistance(ScreenPixel a, ScreenPixel b) {
  return int32_t(std::min<int64_t>(std::llabs(int64_t(a.x) - b.x) + std::llabs(int64_t(a.y) - b.y), INT32_MAX));
}

ScreenPixel ToScreenPixel(const FxEventExtra& extra, Point layer) {
  LayerToScreen(extra, layer);
  const auto whole = [](float v) {
    if (!(std::fabs(v) < 1e9f)) return v > 0 ? INT32_MAX / 2 : INT32_MIN / 2;  // NaN lands far away
    return int32_t(std::lround(v));
  };
  return {whole(layer.x), whole(layer.y)};
}

std::optional<int32_t> HitFeatherHandle(const FxEventExtra& extra, const FeatherHandle& h, ScreenPixel click) {
  std::optional<int32_t> hit;
  int32_t best = kHandleHitDistance;
  const Point points[3] = {h.pa, h.pb, h.pc};
  for (int32_t part = 0; part < 3; ++part) {
    const int32_t d = ManhattanDistance(ToScreenPixel(extra, points[part]), click);
    if (d < best) {
      best = d;
      hit = part;
    }
  }
  return hit;
}

std::optional<VertexHit> HitVertex(const FxEventExtra& extra, const std::vector<MaskVertex>& v, bool show_handles,
                                   mask_effect::SequenceRecord* record, ScreenPixel click) {
  std::optional<VertexHit> hit;
  int32_t best = INT32_MAX;
  const size_t n = v.size();
  const auto consider = [&](size_t i, int32_t part, Point p, int32_t limit) {
    const int32_t d = ManhattanDistance(ToScreenPixel(extra, p), click);
    if (d < limit && d < best) {
      best = d;
      hit = VertexHit{i, part, part == 0 && d >= kHandleHitDistance};
    }
  };
  for (size_t i = 0; i < n; ++i) {
    consider(i, 0, {v[i].anchor_x, v[i].anchor_y}, kAnchorHitDistance);
    if (!show_handles || v[i].kind != Mask::kVertexCurve) continue;
    if (Selected(record, i) || Selected(record, (i + n - 1) % n))
      consider(i, 1, {v[i].in_x, v[i].in_y}, kHandleHitDistance);
    if (Selected(record, i) || Selected(record, (i + 1) % n))
      consider(i, 2, {v[i].out_x, v[i].out_y}, kHandleHitDistance);
  }
  return hit;
}

float NearestOnEdge(const std::vector<MaskVertex>& v, uint32_t edge, Point p) {
  const auto dist2 = [&](float t) {
    const Point q = EvaluateOutline(v, edge, t).point;
    return (q.x - p.x) * (q.x - p.x) + (q.y - p.y) * (q.y - p.y);
  };
  // Coarse samples, then a narrowing search around the best one.
  float best_t = 0, best_d = dist2(0);
  for (int k = 1; k <= 32; ++k) {
    const float t = k / 32.0f;
    if (const float d = dist2(t); d < best_d) best_d = d, best_t = t;
  }
  float lo = std::max(0.0f, best_t - 1 / 32.0f), hi = std::min(1.0f, best_t + 1 / 32.0f);
  for (int k = 0; k < 30; ++k) {
    const float a = lo + (hi - lo) / 3, b = hi - (hi - lo) / 3;
    if (dist2(a) < dist2(b)) hi = b;
    else lo = a;
  }
  return (lo + hi) / 2;
}

std::optional<EdgeHit> HitEdge(const Mask::MaskShape& shape, const std::vector<MaskVertex>& v, Point click,
                               float tolerance, float s) {
  if (v.size() < 2) return std::nullopt;
  const float grow = tolerance * s;
  float left = INFINITY, top = INFINITY, right = -INFINITY, bottom = -INFINITY;
  for (const MaskVertex& x : v)
    for (Point p : {Point{x.anchor_x, x.anchor_y}, Point{x.in_x, x.in_y}, Point{x.out_x, x.out_y}}) {
      left = std::fmin(left, p.x), right = std::fmax(right, p.x);
      top = std::fmin(top, p.y), bottom = std::fmax(bottom, p.y);
    }
  if (!(click.x >= left - grow && click.x <= right + grow && click.y >= top - grow && click.y <= bottom + grow))
    return std::nullopt;
  TQEClipRecord clip;
  if (!PixelClip(click, clip)) return std::nullopt;
  const size_t edges = shape.mode == Mask::kMaskModeOpen ? v.size() - 1 : v.size();
  for (uint32_t e = 0; e < edges; ++e) {
    if (v[e].kind == Mask::kVertexSeparator || v[(e + 1) % v.size()].kind == Mask::kVertexSeparator) continue;
    mask_render::OutlineRecorder recorder;
    mask_render::BuildMaskOutline(recorder, EdgeVertices(v, e), /*open=*/true);
    const bool covered = CoversPixel(clip, [&](QuillObject** out) {
      const auto stroke = reinterpret_cast<TQENewStrokeProc>(mask_effect::LookUpOptionalProcedure(
          "TQE_BezierPathRasterPainterInterface", "NewStroke", "TQE_BezierPathRasterPainterNewStrokeProcV2"));
      if (stroke == nullptr) return -1;
      const float identity[6] = {1, 0, 0, 1, 0, 0};
      return stroke(out, int32_t(recorder.count()), recorder.points(), recorder.codes(), 2 * grow, 0, identity, &clip);
    });
    if (covered) return EdgeHit{e, NearestOnEdge(v, e, click)};
  }
  return std::nullopt;
}

bool IsInsideMask(const Mask::MaskShape& shape, const std::vector<MaskVertex>& v, Point p, float width, float height) {
  if (v.size() < 3) return false;
  const Mask::Bounds b = Mask::BoundsInPixels(shape, width, height);
  if (!(p.x >= b.left && p.x < b.left + b.width && p.y >= b.top && p.y < b.top + b.height)) return false;
  TQEClipRecord clip;
  if (!PixelClip(p, clip)) return false;
  mask_render::OutlineRecorder recorder;
  mask_render::BuildMaskOutline(recorder, v);
  return CoversPixel(clip, [&](QuillObject** out) {
    const float identity[6] = {1, 0, 0, 1, 0, 0};
    return mask_render::Painters().new_fill(out, int32_t(recorder.count()), recorder.points(), recorder.codes(), 1, 0,
                                            identity, &clip);
  });
}

}  // namespace mask_overlay
