// Anti-aliased scan conversion with exact-area coverage: each pixel's coverage is the area of
// the pixel inside the outline (non-zero or even-odd winding), delivered row by row as runs of
// no, full and partial coverage over a clip rectangle.
//
// Stages run one way: AddPath flattens curves (to kCurveTolerance) into edges; Row sweeps one
// pixel row, accumulating per-cell cover and area from the edges crossing it, and turns the
// sorted cells into runs. Nothing is allocated per row once the converter has warmed up.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/graphics/path_data.h"

namespace quill {

// Largest distance between a curve and the lines that stand for it, in pixels.
inline constexpr float kCurveTolerance = 1.0f / 8;

struct ClipRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // right and bottom exclusive
};

enum RunKind : int32_t {
  kRunNone = 0,     // coverage 0
  kRunFull = 1,     // coverage 255
  kRunPartial = 2,  // per-pixel coverage in the row's coverage bytes
};

// Runs tile a row from clip.left without gaps; each ends (exclusive) where the next begins.
struct RowRun {
  int32_t kind;
  int32_t end_x;
};

enum class FillRule { kNonZero, kEvenOdd };

class ScanConverter {
 public:
  // Starts a new fill over `clip`. Keeps its buffers from earlier fills.
  void Reset(const ClipRect& clip, FillRule rule = FillRule::kNonZero);
  // Adds every sub-outline of `path`, mapped through `m`; open sub-outlines are closed.
  // Segments with a non-finite coordinate are dropped.
  void AddPath(const PathView& path, const Affine& m = {});

  // The runs of row y (clip.top <= y < clip.bottom; other rows give one empty run list). Partial
  // coverage bytes are written to coverage[x - clip.left] for the pixels of partial runs only.
  // The result stays valid until the next call. Rows are cheapest in increasing order.
  const std::vector<RowRun>& Row(int32_t y, uint8_t* coverage);

  const ClipRect& clip() const { return clip_; }

 private:
  // ...implementation state (edges sorted by top row, active list, cells of the current row)
  ClipRect clip_;
  FillRule rule_ = FillRule::kNonZero;
  struct Impl;
  std::vector<RowRun> runs_;
  std::vector<uint8_t> storage_;  // placeholder; the implementer owns this layout
};

// Fills a whole 8-bit matte (row stride `stride`) over clip: a convenience and a cross-check of
// the runs (the two must give equal bytes).
void RenderCoverage(ScanConverter& converter, uint8_t* matte, int64_t stride);

}  // namespace quill
