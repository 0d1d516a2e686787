#include "render/rasterize_mask.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "mask/mask_geometry.h"
#include "platform/graphics/image_renderer.h"
#include "render/mask_outline.h"
#include "services/component_broker.h"

namespace mask_render {
namespace {

uint8_t OpacityByte(float opacity) {
  const float o = opacity * 255.0f;
  if (!(o > 0)) return 0;  // NaN and negatives
  return static_cast<uint8_t>(static_cast<int64_t>(std::fmin(o, 255.0f)) & 255);
}

void FillAll(uint8_t* coverage, int64_t stride, int32_t W, int32_t H, uint8_t value) {
  const uint8_t color[4] = {value, value, value, value};
  IR_FillWithColor(coverage, stride, W, H, kIRFormatGray8, color);
}

// A scale truncated to an unsigned pixel count; nonsense (negative, NaN, absurd) counts as 0.
float TruncatedScale(float v) {
  if (!(v > 0)) return 0;
  return static_cast<float>(static_cast<uint32_t>(std::fmin(v, 2147483647.0f)));
}

bool IsSane(const std::vector<Mask::MaskVertex>& vertices) {
  for (const Mask::MaskVertex& v : vertices)
    for (float c : {v.anchor_x, v.anchor_y, v.in_x, v.in_y, v.out_x, v.out_y})
      if (!(std::fabs(c) <= kMaxPlacedCoordinate)) return false;
  return true;
}

void SweepRows(uint8_t* coverage, int64_t stride, QuillObject* path, int32_t W, int32_t H, bool inverted, float opacity,
               uint8_t empty_value);

}  // namespace

void FillCoverageRun(int32_t kind, int32_t x0, int32_t x1, uint8_t* row, const uint8_t* painter_row, bool inverted,
                     float opacity) {
  if (x1 <= x0) return;
  const size_t n = static_cast<size_t>(x1 - x0);
  const bool full_opacity = opacity == 1.0f;
  const uint32_t o = OpacityByte(opacity);
  switch (kind) {
    case 0: std::memset(row + x0, inverted ? int(o) : 0, n); break;
    case 1: std::memset(row + x0, inverted ? 0 : (full_opacity ? 255 : int(o)), n); break;
    case 2:
      if (full_opacity) {
        for (int32_t x = x0; x < x1; ++x) row[x] = inverted ? uint8_t(255 - painter_row[x]) : painter_row[x];
      } else {
        for (int32_t x = x0; x < x1; ++x) {
          const uint32_t scaled = painter_row[x] * o / 255;
          row[x] = static_cast<uint8_t>(inverted ? o - scaled : scaled);
        }
      }
      break;
    default: break;
  }
}

void RasterizeMask(uint8_t* coverage, int64_t stride, const Mask::MaskShape& shape, int32_t W, int32_t H, int32_t Wf,
                   int32_t Hf, float dsx, float dsy, float par, bool inverted, float opacity, float expansion,
                   float scale) {
  if (coverage == nullptr || W <= 0 || H <= 0) return;
  if (shape.mode == Mask::kMaskModeOpen) {
    IR_FillWithOpaqueWhite(coverage, stride, W, H, kIRFormatGray8);  // nothing is masked
    return;
  }
  const uint8_t empty_value = inverted ? OpacityByte(opacity) : 0;
  const Mask::MaskShape copy = shape;
  const Mask::Bounds box = Mask::BoundsInPixels(copy, float(W), float(H));
  if (!(box.width >= 1.0f) || !(box.height >= 1.0f)) {  // NaN bounds count as empty too
    FillAll(coverage, stride, W, H, empty_value);
    return;
  }

  // Scale to the downsampled layer and centre it in the buffer.
  const float sx = TruncatedScale(float(Wf) * dsx * scale);
  const float sy = TruncatedScale(float(Hf) * dsy);
  std::vector<Mask::MaskVertex> placed;
  Mask::PlaceInPixels(copy, sx, sy, placed);
  const float ox = (float(W) - float(Wf) * dsx) * 0.5f * scale;
  const float oy = (float(H) - float(Hf) * dsy) * 0.5f;
  for (Mask::MaskVertex& v : placed) {
    v.anchor_x += ox, v.in_x += ox, v.out_x += ox;
    v.anchor_y += oy, v.in_y += oy, v.out_y += oy;
  }
  // A damaged shape (infinite or absurd coordinates, or beyond what can be grown or shrunk)
  // masks like an empty one.
  if (!IsSane(placed) || !std::isfinite(expansion) ||
      (expansion != 0.0f && !WithinOffsetRange(placed, dsx, dsy, par))) {
    FillAll(coverage, stride, W, H, empty_value);
    return;
  }

  OutlineRecorder recorder;
  BuildMaskOutline(recorder, placed);
  ComponentRef path = NewPathFromRecorder(recorder);
  if (expansion != 0.0f) OffsetMaskPath(path, expansion, dsx, dsy, par);
  SweepRows(coverage, stride, path.get(), W, H, inverted, opacity, empty_value);
}

namespace {

void SweepRows(uint8_t* coverage, int64_t stride, QuillObject* path, int32_t W, int32_t H, bool inverted, float opacity,
               uint8_t empty_value) {
  int32_t count = 0;
  const void* points = nullptr;
  const void* codes = nullptr;
  CheckComponent(Paths().get_path_data(path, &count, &points, &codes, nullptr), "GetPathData");
  // From the painter's creation to the last row a component failure does not fail the render;
  // the rows it could not write mask like an empty shape rather than keep stale bytes.
  int32_t y = 0;
  try {
    const PainterProcs& painters = Painters();
    const TQEClipRecord clip = {std::min(0, W), std::min(0, H), W, H, std::min(0, W), W};
    const float identity[6] = {1, 0, 0, 1, 0, 0};
    ComponentRef painter;
    CheckComponent(painters.new_fill(painter.out(), count, points, codes, 1, 1, identity, &clip), "NewFill");
    if (!Paths().has_interface(painter.get(), "QIMRasterPainterInterface"))
      throw QIB_T_MT::CQIBError("invalid container");
    const QIMRasterPainterInfo* info = nullptr;
    CheckComponent(painters.get_info(&info, painter.get()), "GetInfo");
    for (; y < H; ++y) {
      const QIMRowRun* run = info->row(info->context, y);
      const uint8_t* painter_row = info->raster->base + info->raster->stride * y;
      uint8_t* row = coverage + stride * y;
      for (int32_t x = 0; x < W; ++run) {
        if (run->end_x <= x) continue;
        const int32_t x1 = std::min(run->end_x, W);
        FillCoverageRun(run->kind, x, x1, row, painter_row, inverted, opacity);
        x = x1;
      }
    }
  } catch (...) {
    if (y < H) FillAll(coverage + stride * y, stride, W, H - y, empty_value);
  }
}

}  // namespace
}  // namespace mask_render
