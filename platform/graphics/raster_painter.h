// The raster engine's Bezier path fill painter ("TQE_BezierPathRasterPainterInterface") and the
// imaging model's painter information ("QIMRasterPainterInterface"): a painter yields, row by
// row, runs of no, full and partial coverage over a clip rectangle.
#pragma once

#include <cstdint>

#include "platform/graphics/component_object.h"

extern "C" {

struct TQEClipRecord {
  int32_t left, top, right, bottom;  // right and bottom exclusive
  int32_t span_left, span_right;     // the horizontal span again; informational
};

struct QIMRowRun {
  int32_t kind;   // 0 no coverage, 1 full, 2 partial (bytes in the raster)
  int32_t end_x;  // exclusive
};

// The painter's coverage raster: the byte of pixel (x, y) is at base + stride·y + x while row y
// is the current row (this painter keeps one row and gives stride 0).
struct QIMRaster {
  uint64_t reserved0;
  uint64_t reserved1;
  uint8_t* base;  // byte offset 16
  uint64_t reserved3;
  int64_t stride;  // byte offset 32
};

using QIMRowFunction = const QIMRowRun* (*)(void* context, int32_t y);

struct QIMRasterPainterInfo {
  uint64_t reserved;
  const QIMRaster* raster;
  QIMRowFunction row;  // the runs of row y: they tile the clip from its left edge, then a
                       // sentinel run of kind 0 reaching past any width
  void* context;
};

// fill_rule: 1 non-zero, 0 even-odd. partial_runs: true gives anti-aliased partial runs; false
// gives only none and full runs (a pixel counts as covered from half coverage up).
int32_t TQE_BezierPathRasterPainterNewFillProc(QuillObject** out_painter, int32_t count, const void* points,
                                               const void* codes, int32_t fill_rule, int32_t partial_runs,
                                               const float* matrix, const TQEClipRecord* clip);
int32_t QIMRasterPainterGetInfoProc(const QIMRasterPainterInfo** out_info, QuillObject* painter);

// A painter of the same kind whose region is the stroke of the path: every point within width/2
// of it (round caps and joins), the pen mapped through the matrix with the path. Sub-outlines
// ended by a close code are stroked closed, others open; a sub-outline of one point (a move and a
// zero-length piece) paints a dot, a bare move nothing. Width must be finite and positive.
int32_t TQE_BezierPathRasterPainterNewStrokeProcV2(QuillObject** out_painter, int32_t count, const void* points,
                                                   const void* codes, float width, int32_t partial_runs,
                                                   const float* matrix, const TQEClipRecord* clip);

using TQENewFillProc = decltype(&TQE_BezierPathRasterPainterNewFillProc);
using TQENewStrokeProc = decltype(&TQE_BezierPathRasterPainterNewStrokeProcV2);
using QIMGetInfoProc = decltype(&QIMRasterPainterGetInfoProc);

inline constexpr int32_t kTQEErrBadArgument = -1;
inline constexpr int32_t kTQEErrNoMemory = -4;

}  // extern "C"
