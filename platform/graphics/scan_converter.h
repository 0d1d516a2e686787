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

// Largest distance between a curve and the lines that stand for it, in pixels. The converter
// flattens finer still, so that curved edges keep their exact-area accuracy.
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
  // Segments with a non-finite coordinate are dropped: such a point is skipped and its
  // neighbours are joined, so the outline stays closed. A cubic cut short becomes lines.
  void AddPath(const PathView& path, const Affine& m = {});

  // The runs of row y (clip.top <= y < clip.bottom; other rows give one empty run list). Partial
  // coverage bytes are written to coverage[x - clip.left] for the pixels of partial runs only.
  // The result stays valid until the next call. Rows are cheapest in increasing order.
  const std::vector<RowRun>& Row(int32_t y, uint8_t* coverage);

  const ClipRect& clip() const { return clip_; }

 private:
  // A flattened, clipped line in clip-local pixel units (x in [0, width], y in [0, height]),
  // stored top to bottom; `winding` is +1 for a downward original and -1 for an upward one.
  struct Edge {
    double top_x, top_y, bottom_y;
    double dx_per_y;
    float winding;
  };
  struct Point {
    double x, y;
  };

  void AddLine(Point from, Point to);
  void AddClippedLine(double x0, double y0, double x1, double y1, float winding);
  void AddCubic(Point p0, Point p1, Point p2, Point p3);
  void BucketEdges();
  void AccumulateEdge(const Edge& edge, int32_t local_y);
  void MarkTouched(int32_t first_cell, int32_t last_cell);
  template <bool kEvenOdd>
  void SweepCells(uint8_t* coverage);

  ClipRect clip_;
  FillRule rule_ = FillRule::kNonZero;
  int32_t width_ = 0, height_ = 0;  // of the clip; edges live in [0, width_] x [0, height_]

  std::vector<Edge> edges_;
  // Edges sorted by their top pixel row (a counting sort): row r's edges are
  // edge_order_[row_first_edge_[r] .. row_first_edge_[r + 1]).
  std::vector<int32_t> row_first_edge_;
  std::vector<int32_t> edge_order_;
  bool edges_bucketed_ = false;
  std::vector<int32_t> active_;  // edges crossing the row being swept
  int32_t next_local_y_ = 0;     // the sweep has added the edges of all rows before this one

  // The current row's cells, indexed by local x (one spare column for x == width_): cover is the
  // signed height of the edges in the cell, area their signed height times the fraction of the
  // cell left of them. Only touched cells are non-zero; the bit set lists them in x order so the
  // sweep visits those alone.
  std::vector<float> cell_cover_;
  std::vector<float> cell_area_;
  std::vector<uint64_t> touched_;
  int32_t touched_first_word_ = 0, touched_last_word_ = -1;

  std::vector<RowRun> runs_;
};

// Fills a whole 8-bit matte (row stride `stride`) over clip: a convenience and a cross-check of
// the runs (the two must give equal bytes).
void RenderCoverage(ScanConverter& converter, uint8_t* matte, int64_t stride);

}  // namespace quill
