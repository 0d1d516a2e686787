#include "platform/graphics/scan_converter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace quill {
namespace {

// A chord's sagitta s shifts up to about s of a pixel's area, so kCurveTolerance alone would let
// curved edges miss by tens of levels; this flatness keeps them within about one level.
constexpr double kFlatness = kCurveTolerance / 32;

// Bounds the lines per cubic, so huge or degenerate curves cost bounded time and memory.
constexpr int32_t kMaxCurveSegments = 4096;

// Pieces shorter than this (in y, pixels) change no byte; dropping them keeps dx/dy finite.
constexpr double kMinEdgeHeight = 1e-9;

// Keeps local column indices, and the spare column past them, inside int32_t.
constexpr int64_t kMaxClipSpan = std::numeric_limits<int32_t>::max() - 128;

double Clamp(double v, double lo, double hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

void ScanConverter::Reset(const ClipRect& clip, FillRule rule) {
  clip_ = clip;
  rule_ = rule;
  width_ = static_cast<int32_t>(std::clamp<int64_t>(int64_t{clip.right} - clip.left, 0, kMaxClipSpan));
  height_ = static_cast<int32_t>(std::clamp<int64_t>(int64_t{clip.bottom} - clip.top, 0, kMaxClipSpan));
  edges_.clear();
  edges_bucketed_ = false;
  active_.clear();
  next_local_y_ = 0;
  // The sweep leaves the cells zero, so this only clears what an earlier size did not cover.
  cell_cover_.assign(static_cast<size_t>(width_) + 1, 0.0f);
  cell_area_.assign(static_cast<size_t>(width_) + 1, 0.0f);
  touched_.assign(static_cast<size_t>(width_) / 64 + 1, 0);
  touched_first_word_ = std::numeric_limits<int32_t>::max();
  touched_last_word_ = -1;
  runs_.clear();
}

void ScanConverter::AddPath(const PathView& path, const Affine& m) {
  if (path.points == nullptr || path.codes == nullptr || path.count <= 0) return;
  edges_bucketed_ = false;

  // Mapped in double so that large finite coordinates clip without float overflow.
  auto map = [&](PathPoint p) -> Point {
    return {double{p.x} * m.m[0] + double{p.y} * m.m[2] + m.m[4], double{p.x} * m.m[1] + double{p.y} * m.m[3] + m.m[5]};
  };
  auto finite = [](Point p) { return std::isfinite(p.x) && std::isfinite(p.y); };

  Point start{}, pen{};
  bool open = false;  // the current sub-outline has a finite start point
  auto line_to = [&](Point p) {
    if (!finite(p)) return;
    if (!open) {
      start = pen = p;
      open = true;
      return;
    }
    AddLine(pen, p);
    pen = p;
  };
  auto close = [&] {
    if (open) AddLine(pen, start);
    pen = start;
  };

  const int32_t count = path.count;
  for (int32_t i = 0; i < count;) {
    const uint32_t code = path.codes[i];
    if (code == kPathCurvePoint) {
      int32_t run = 1;
      while (run < 3 && i + run < count && path.codes[i + run] == kPathCurvePoint) ++run;
      if (run == 3 && open) {
        const Point c1 = map(path.points[i]), c2 = map(path.points[i + 1]);
        const Point end = map(path.points[i + 2]);
        if (!finite(c1) || !finite(c2)) {
          line_to(end);
        } else if (finite(end)) {
          AddCubic(pen, c1, c2, end);
          pen = end;
        }
      } else {
        for (int32_t k = 0; k < run; ++k) line_to(map(path.points[i + k]));
      }
      i += run;
      continue;
    }
    const Point p = map(path.points[i]);
    switch (code) {
      case kPathMoveTo:
        close();
        open = finite(p);
        if (open) start = pen = p;
        break;
      case kPathLineTo: line_to(p); break;
      case kPathClose:
        close();  // its point repeats the start; the start itself is exact
        break;
      default: break;  // unknown codes carry no segment
    }
    ++i;
  }
  close();
}

void ScanConverter::AddCubic(Point p0, Point p1, Point p2, Point p3) {
  const double min_x = std::min({p0.x, p1.x, p2.x, p3.x});
  const double max_x = std::max({p0.x, p1.x, p2.x, p3.x});
  const double min_y = std::min({p0.y, p1.y, p2.y, p3.y});
  const double max_y = std::max({p0.y, p1.y, p2.y, p3.y});
  // A curve whose hull misses the clip changes no pixel, or (left of it) only adds its net
  // cover per row, which the chord adds just the same.
  if (max_y <= clip_.top || min_y >= clip_.bottom || min_x >= clip_.right || max_x <= clip_.left) {
    AddLine(p0, p3);
    return;
  }
  // B'' is linear in t, so its largest size is at an end: 6 * the larger second difference.
  // Steps of 1/n keep every chord within max|B''| / (8 n^2) of the curve. (Inputs are floats,
  // so the squares cannot overflow a double.)
  const double ax = p0.x - 2 * p1.x + p2.x, ay = p0.y - 2 * p1.y + p2.y;
  const double bx = p1.x - 2 * p2.x + p3.x, by = p1.y - 2 * p2.y + p3.y;
  const double second_diff = std::sqrt(std::max(ax * ax + ay * ay, bx * bx + by * by));
  const double wanted = std::ceil(std::sqrt(0.75 * second_diff / kFlatness));
  // The comparisons also send NaN to a single chord.
  const int32_t segments =
      wanted >= 1 ? (wanted < kMaxCurveSegments ? static_cast<int32_t>(wanted) : kMaxCurveSegments) : 1;
  const double step = 1.0 / segments;
  Point prev = p0;
  for (int32_t i = 1; i < segments; ++i) {
    const double t = i * step, u = 1 - t;
    const double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
    const Point next{b0 * p0.x + b1 * p1.x + b2 * p2.x + b3 * p3.x, b0 * p0.y + b1 * p1.y + b2 * p2.y + b3 * p3.y};
    AddLine(prev, next);
    prev = next;
  }
  AddLine(prev, p3);
}

void ScanConverter::AddLine(Point from, Point to) {
  double x0 = from.x - clip_.left, y0 = from.y - clip_.top;
  double x1 = to.x - clip_.left, y1 = to.y - clip_.top;
  float winding = 1;
  if (y0 > y1) {
    std::swap(x0, x1);
    std::swap(y0, y1);
    winding = -1;
  }
  if (!(y1 - y0 > kMinEdgeHeight)) return;  // horizontal lines carry no cover
  const double h = height_;
  if (y1 <= 0 || y0 >= h) return;  // rows outside the clip never look at it
  const double x_span = x1 - x0, y_span = y1 - y0;
  if (y0 < 0) {
    x0 += x_span * (-y0 / y_span);
    y0 = 0;
  }
  if (y1 > h) {
    x1 = x0 + (x1 - x0) * ((h - y0) / (y1 - y0));
    y1 = h;
  }
  AddClippedLine(x0, y0, x1, y1, winding);
}

// Splits a line (already within the clip's rows, y0 < y1) at the clip's left and right sides:
// the part left of the clip becomes a vertical line on its left side (the pixels inside only
// see its cover); the part right of it is dropped (cells only affect pixels to their right).
void ScanConverter::AddClippedLine(double x0, double y0, double x1, double y1, float winding) {
  const double w = width_;
  if (!(y1 - y0 > kMinEdgeHeight)) return;
  if (x0 >= 0 && x1 >= 0 && x0 <= w && x1 <= w) {  // the common case: nothing to split
    edges_.push_back({x0, y0, y1, (x1 - x0) / (y1 - y0), winding});
    return;
  }
  if (x0 >= w && x1 >= w) return;
  double cuts[4] = {y0, y0, y0, y1};
  int32_t cut_count = 1;
  auto y_at_x = [&](double x) { return Clamp(y0 + (y1 - y0) * ((x - x0) / (x1 - x0)), y0, y1); };
  if ((x0 < 0) != (x1 < 0)) cuts[cut_count++] = y_at_x(0);
  if ((x0 > w) != (x1 > w)) cuts[cut_count++] = y_at_x(w);
  if (cut_count == 3 && cuts[1] > cuts[2]) std::swap(cuts[1], cuts[2]);
  cuts[cut_count++] = y1;

  const double dx_per_y = (x1 - x0) / (y1 - y0);
  for (int32_t i = 0; i + 1 < cut_count; ++i) {
    const double ya = cuts[i], yb = cuts[i + 1];
    if (!(yb - ya > kMinEdgeHeight)) continue;
    const double x_mid = x0 + ((ya + yb) * 0.5 - y0) * dx_per_y;
    if (x_mid >= w) continue;
    Edge edge{0, ya, yb, 0, winding};
    if (x_mid > 0) {
      const double xa = Clamp(x0 + (ya - y0) * dx_per_y, 0, w);
      const double xb = Clamp(x0 + (yb - y0) * dx_per_y, 0, w);
      edge.top_x = xa;
      edge.dx_per_y = (xb - xa) / (yb - ya);
    }
    edges_.push_back(edge);
  }
}

void ScanConverter::BucketEdges() {
  row_first_edge_.assign(static_cast<size_t>(height_) + 2, 0);
  auto top_row = [&](const Edge& e) { return std::clamp(static_cast<int32_t>(e.top_y), 0, std::max(height_ - 1, 0)); };
  for (const Edge& e : edges_) ++row_first_edge_[top_row(e) + 1];
  for (size_t r = 1; r < row_first_edge_.size(); ++r) row_first_edge_[r] += row_first_edge_[r - 1];
  edge_order_.resize(edges_.size());
  // Each row's start serves as its insertion point; afterwards it holds the row's end, so the
  // table shifts one row down.
  for (int32_t i = 0; i < static_cast<int32_t>(edges_.size()); ++i) {
    edge_order_[row_first_edge_[top_row(edges_[i])]++] = i;
  }
  std::copy_backward(row_first_edge_.begin(), row_first_edge_.end() - 1, row_first_edge_.end());
  row_first_edge_[0] = 0;
  edges_bucketed_ = true;
  active_.clear();
  next_local_y_ = 0;
}

// Sets the touched bits of cells first..last, a word at a time.
inline void ScanConverter::MarkTouched(int32_t first_cell, int32_t last_cell) {
  const int32_t first_word = first_cell >> 6, last_word = last_cell >> 6;  // 64 cells a word
  const uint64_t head = ~uint64_t{0} << (first_cell & 63);
  const uint64_t tail = ~uint64_t{0} >> (63 - (last_cell & 63));
  if (first_word == last_word) {
    touched_[first_word] |= head & tail;
  } else {
    touched_[first_word] |= head;
    for (int32_t word = first_word + 1; word < last_word; ++word) touched_[word] = ~uint64_t{0};
    touched_[last_word] |= tail;
  }
  touched_first_word_ = std::min(touched_first_word_, first_word);
  touched_last_word_ = std::max(touched_last_word_, last_word);
}

// Adds the piece of `edge` inside row local_y to the cells it crosses: each cell gets the
// piece's signed height (cover) and that height times the mean fraction of the cell left of
// it (area), so a pixel's coverage is the cover of all cells left of it plus its cover - area.
inline void ScanConverter::AccumulateEdge(const Edge& edge, int32_t local_y) {
  const double row_top = local_y;
  const double ya = std::max(edge.top_y, row_top);
  const double yb = std::min(edge.bottom_y, row_top + 1);
  if (!(yb > ya)) return;
  const double w = width_;
  const double xa = Clamp(edge.top_x + (ya - edge.top_y) * edge.dx_per_y, 0, w);
  const double xb = Clamp(edge.top_x + (yb - edge.top_y) * edge.dx_per_y, 0, w);
  const double winding = edge.winding;
  float* cover = cell_cover_.data();
  float* area = cell_area_.data();
  // x >= 0, so the casts floor.
  const int32_t cell_a = static_cast<int32_t>(xa), cell_b = static_cast<int32_t>(xb);
  if (cell_a == cell_b) {
    const double height = winding * (yb - ya);
    cover[cell_a] += static_cast<float>(height);
    area[cell_a] += static_cast<float>(height * ((xa + xb) * 0.5 - cell_a));
    MarkTouched(cell_a, cell_a);
    return;
  }
  // Crossing cells: the y at each cell side comes straight from the piece's ends, so the
  // heights add up to the piece's without drift.
  const double y_per_x = (yb - ya) / std::fabs(xb - xa);
  double x = xa, y = ya;
  if (cell_a < cell_b) {
    MarkTouched(cell_a, cell_b);
    for (int32_t c = cell_a; c < cell_b; ++c) {
      const double next_x = c + 1;
      const double next_y = std::min(ya + (next_x - xa) * y_per_x, yb);
      const double height = winding * (next_y - y);
      cover[c] += static_cast<float>(height);
      area[c] += static_cast<float>(height * ((x + next_x) * 0.5 - c));
      x = next_x;
      y = next_y;
    }
  } else {
    MarkTouched(cell_b, cell_a);
    for (int32_t c = cell_a; c > cell_b; --c) {
      const double next_x = c;
      const double next_y = std::min(ya + (xa - next_x) * y_per_x, yb);
      const double height = winding * (next_y - y);
      cover[c] += static_cast<float>(height);
      area[c] += static_cast<float>(height * ((x + next_x) * 0.5 - c));
      x = next_x;
      y = next_y;
    }
  }
  const double height = winding * (yb - y);
  cover[cell_b] += static_cast<float>(height);
  area[cell_b] += static_cast<float>(height * ((x + xb) * 0.5 - cell_b));
}

namespace {

template <bool kEvenOdd>
uint8_t CoverageByte(double winding_area) {
  double a = std::fabs(winding_area);
  if constexpr (kEvenOdd) {
    a -= 2 * std::floor(a * 0.5);
    a = a > 1 ? 2 - a : a;
  }
  a = a < 1 ? a : 1;  // also turns a NaN into full rather than into an undefined cast
  return static_cast<uint8_t>(a * 255 + 0.5);
}

// Run kinds by coverage byte: a lookup instead of two compares per cell.
constexpr auto kKindOfByte = [] {
  std::array<int32_t, 256> kinds{};
  for (int32_t& kind : kinds) kind = kRunPartial;
  kinds[0] = kRunNone;
  kinds[255] = kRunFull;
  return kinds;
}();

}  // namespace

// Walks the touched cells in x order. Between two of them no edge passes, so coverage is the
// running cover alone: one run, filled (if partial) by memset, whatever its length. The run
// being built stays in locals and is stored when the kind changes.
template <bool kEvenOdd>
void ScanConverter::SweepCells(uint8_t* coverage) {
  float* cover = cell_cover_.data();
  float* area = cell_area_.data();
  double winding = 0;  // the cover of every cell left of x
  int32_t x = 0;
  int32_t run_kind = -1, run_end = 0;
  auto extend = [&](int32_t kind, int32_t end) {
    if (kind != run_kind) {
      if (run_kind >= 0) runs_.push_back({run_kind, clip_.left + run_end});
      run_kind = kind;
    }
    run_end = end;
  };
  auto span_to = [&](int32_t end) {
    const uint8_t byte = CoverageByte<kEvenOdd>(winding);
    const int32_t kind = kKindOfByte[byte];
    if (kind == kRunPartial) std::memset(coverage + x, byte, static_cast<size_t>(end - x));
    extend(kind, end);
  };
  for (int32_t word = touched_first_word_; word <= touched_last_word_; ++word) {
    uint64_t bits = touched_[word];
    touched_[word] = 0;
    while (bits != 0) {
      const int32_t cx = word * 64 + std::countr_zero(bits);
      bits &= bits - 1;
      if (cx >= width_) break;  // the spare column holds lines on the clip's right side
      if (cx > x) span_to(cx);
      const float cell_cover = cover[cx], cell_area = area[cx];
      cover[cx] = 0;
      area[cx] = 0;
      const uint8_t byte = CoverageByte<kEvenOdd>(winding + (cell_cover - cell_area));
      const int32_t kind = kKindOfByte[byte];
      if (kind == kRunPartial) coverage[cx] = byte;
      extend(kind, cx + 1);
      winding += cell_cover;
      x = cx + 1;
    }
  }
  cell_cover_[width_] = 0;
  cell_area_[width_] = 0;
  touched_first_word_ = std::numeric_limits<int32_t>::max();
  touched_last_word_ = -1;
  if (x < width_) span_to(width_);
  if (run_kind >= 0) runs_.push_back({run_kind, clip_.left + run_end});
}

const std::vector<RowRun>& ScanConverter::Row(int32_t y, uint8_t* coverage) {
  runs_.clear();
  const int64_t local_y64 = int64_t{y} - clip_.top;
  if (local_y64 < 0 || local_y64 >= height_ || width_ == 0) return runs_;
  const int32_t local_y = static_cast<int32_t>(local_y64);
  if (!edges_bucketed_) BucketEdges();
  if (local_y < next_local_y_) {  // going back: restart the sweep from the top
    active_.clear();
    next_local_y_ = 0;
  }
  std::erase_if(active_, [&](int32_t e) { return edges_[e].bottom_y <= local_y; });
  for (int32_t i = row_first_edge_[next_local_y_]; i < row_first_edge_[local_y + 1]; ++i) {
    const int32_t e = edge_order_[i];
    if (edges_[e].bottom_y > local_y) active_.push_back(e);
  }
  next_local_y_ = local_y + 1;

  for (int32_t e : active_) AccumulateEdge(edges_[e], local_y);
  if (rule_ == FillRule::kEvenOdd) {
    SweepCells<true>(coverage);
  } else {
    SweepCells<false>(coverage);
  }
  return runs_;
}

void RenderCoverage(ScanConverter& converter, uint8_t* matte, int64_t stride) {
  const ClipRect clip = converter.clip();
  for (int32_t y = clip.top; y < clip.bottom; ++y) {
    uint8_t* row = matte + (int64_t{y} - clip.top) * stride;
    int64_t x = clip.left;
    for (const RowRun& run : converter.Row(y, row)) {
      if (run.kind != kRunPartial) {
        std::memset(row + (x - clip.left), run.kind == kRunFull ? 255 : 0, static_cast<size_t>(run.end_x - x));
      }
      x = run.end_x;
    }
  }
}

}  // namespace quill
