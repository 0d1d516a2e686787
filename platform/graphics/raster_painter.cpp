#include "platform/graphics/raster_painter.h"

#include <cmath>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "platform/graphics/path_data.h"
#include "platform/graphics/path_stroker.h"
#include "platform/graphics/scan_converter.h"

namespace {

static_assert(sizeof(QIMRowRun) == sizeof(quill::RowRun));
static_assert(offsetof(QIMRaster, base) == 16 && offsetof(QIMRaster, stride) == 32);

struct Painter : QuillObject {
  quill::ScanConverter converter;
  bool partial_runs = true;
  std::vector<uint8_t> row;  // coverage of the current row, indexed by x
  std::vector<QIMRowRun> runs;
  QIMRaster raster{};
  QIMRasterPainterInfo info{};
};

void DestroyPainter(QuillObject* object) { delete static_cast<Painter*>(object); }

int32_t PainterHasInterface(const QuillObject*, const char* name) {
  const std::string_view n = name;
  return n == "QIMRasterPainterInterface" || n == "TQE_BezierPathRasterPainterInterface";
}

const QuillObjectClass kPainterClass = {"TQEBezierPathRasterPainter", &DestroyPainter, &PainterHasInterface};

// Without partial runs a pixel is in or out: in from half coverage up.
void ThresholdRuns(const std::vector<quill::RowRun>& in, const uint8_t* row, int32_t left,
                   std::vector<QIMRowRun>& out) {
  int32_t x = left;
  const auto push = [&](int32_t kind, int32_t end) {
    if (!out.empty() && out.back().kind == kind) out.back().end_x = end;
    else out.push_back({kind, end});
  };
  for (const quill::RowRun& run : in) {
    if (run.kind != quill::kRunPartial) {
      push(run.kind, run.end_x);
    } else {
      for (; x < run.end_x; ++x) push(row[x - left] >= 128 ? quill::kRunFull : quill::kRunNone, x + 1);
    }
    x = run.end_x;
  }
}

const QIMRowRun* PainterRow(void* context, int32_t y) {
  auto* painter = static_cast<Painter*>(context);
  const int32_t left = painter->converter.clip().left;
  const std::vector<quill::RowRun>& runs = painter->converter.Row(y, painter->row.data() + left);
  painter->runs.clear();
  if (painter->partial_runs) {
    for (const quill::RowRun& run : runs) painter->runs.push_back({run.kind, run.end_x});
  } else {
    ThresholdRuns(runs, painter->row.data() + left, left, painter->runs);
  }
  painter->runs.push_back({quill::kRunNone, std::numeric_limits<int32_t>::max()});
  return painter->runs.data();
}

// What every painter is given: somewhere to put it, a path the count can be read from, and a
// clip rectangle that is not inside out or left of the raster.
bool PainterArgumentsValid(QuillObject** out_painter, int32_t count, const void* points, const void* codes,
                           const TQEClipRecord* clip) {
  if (out_painter == nullptr || clip == nullptr || count < 0 || (count > 0 && (!points || !codes))) return false;
  return clip->right >= clip->left && clip->bottom >= clip->top && clip->left >= 0;
}

// A painter holding one reference, or null when there is no memory.
Painter* NewPainter() {
  auto* painter = new (std::nothrow) Painter;
  if (painter == nullptr) return nullptr;
  painter->cls = &kPainterClass;
  painter->refs.store(1);
  return painter;
}

// The caller's 2x2 + translation, or the identity when it gives none.
quill::Affine MatrixOf(const float* matrix) {
  quill::Affine m;
  if (matrix)
    for (int i = 0; i < 6; ++i) m.m[i] = matrix[i];
  return m;
}

// Finishes a painter whose coverage is ready and hands it to the caller. One row buffer serves
// every row: stride 0 puts row y's bytes at base + x.
int32_t Hand(Painter* painter, int32_t partial_runs, QuillObject** out_painter) {
  painter->partial_runs = partial_runs != 0;
  painter->raster.base = painter->row.data();
  painter->raster.stride = 0;
  painter->info.raster = &painter->raster;
  painter->info.row = &PainterRow;
  painter->info.context = painter;
  *out_painter = painter;
  return 0;
}

}  // namespace

extern "C" int32_t TQE_BezierPathRasterPainterNewFillProc(QuillObject** out_painter, int32_t count, const void* points,
                                                          const void* codes, int32_t fill_rule, int32_t partial_runs,
                                                          const float* matrix, const TQEClipRecord* clip) {
  if (!PainterArgumentsValid(out_painter, count, points, codes, clip)) return kTQEErrBadArgument;
  Painter* painter = NewPainter();
  if (painter == nullptr) return kTQEErrNoMemory;
  try {
    const quill::Affine m = MatrixOf(matrix);
    painter->converter.Reset({clip->left, clip->top, clip->right, clip->bottom},
                             fill_rule == 0 ? quill::FillRule::kEvenOdd : quill::FillRule::kNonZero);
    painter->converter.AddPath(
        {static_cast<const quill::PathPoint*>(points), static_cast<const uint32_t*>(codes), count}, m);
    painter->row.assign(static_cast<size_t>(clip->right) + 1, 0);
    painter->runs.reserve(64);
  } catch (const std::bad_alloc&) {
    delete painter;
    return kTQEErrNoMemory;
  }
  return Hand(painter, partial_runs, out_painter);
}

extern "C" int32_t QIMRasterPainterGetInfoProc(const QIMRasterPainterInfo** out_info, QuillObject* object) {
  if (out_info == nullptr || object == nullptr || object->cls != &kPainterClass) return kTQEErrBadArgument;
  *out_info = &static_cast<Painter*>(object)->info;
  return 0;
}

extern "C" int32_t TQE_BezierPathRasterPainterNewStrokeProcV2(QuillObject** out_painter, int32_t count,
                                                              const void* points, const void* codes, float width,
                                                              int32_t partial_runs, const float* matrix,
                                                              const TQEClipRecord* clip) {
  if (!PainterArgumentsValid(out_painter, count, points, codes, clip)) return kTQEErrBadArgument;
  if (!(width > 0) || !std::isfinite(width)) return kTQEErrBadArgument;
  Painter* painter = NewPainter();
  if (painter == nullptr) return kTQEErrNoMemory;
  try {
    const quill::Affine m = MatrixOf(matrix);
    const quill::ClipRect rect{clip->left, clip->top, clip->right, clip->bottom};
    painter->converter.Reset(rect, quill::FillRule::kNonZero);
    // A non-finite or flattening matrix leaves no area to paint.
    bool usable = double{m.m[0]} * m.m[3] - double{m.m[1]} * m.m[2] != 0;
    for (float v : m.m) usable = usable && std::isfinite(v);
    if (usable && count > 0) {
      quill::StrokePath(painter->converter, m, width / 2.0, rect,
                        {static_cast<const quill::PathPoint*>(points), static_cast<const uint32_t*>(codes), count});
    }
    painter->row.assign(static_cast<size_t>(clip->right) + 1, 0);
    painter->runs.reserve(64);
  } catch (const std::bad_alloc&) {
    delete painter;
    return kTQEErrNoMemory;
  }
  return Hand(painter, partial_runs, out_painter);
}
