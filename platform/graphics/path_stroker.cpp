#include "platform/graphics/path_stroker.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace quill {
namespace {

// The stroke is built from pieces that together cover it exactly: per straight piece the pen
// swept along it, per join a pen sector on the outer side of the turn, per open end the outer half
// of the pen, and a whole pen for a sub-outline that is one point. Every point of the stroke has
// a nearest path point and lies in that point's piece (a segment's band, a join's normal cone, an
// end's outer half), so nothing is missed. Pieces also meet edge to edge rather than overlapping
// along the stroke's border, where exact-area coverage would count their partial pixels twice:
// on the inner side of a join the two bands are cut along the bisector, where the segments are
// long enough for the cut (else they overlap there, which keeps the region exact).
struct Vec {
  double x, y;
};

Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec operator*(double s, Vec a) { return {s * a.x, s * a.y}; }
bool Finite(Vec p) { return std::isfinite(p.x) && std::isfinite(p.y); }
double Cross(Vec a, Vec b) { return a.x * b.y - a.y * b.x; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }
Vec Left(Vec v) { return {-v.y, v.x}; }

// The error budget of 1/8 pixel, split between flattening curves and the pen's polygons.
constexpr double kStrokeFlatness = 1.0 / 16;
constexpr double kPenTolerance = 1.0 / 16;
constexpr int32_t kMaxStrokeCurveSegments = 4096;
// Bounds the pen's polygon: at least 8 sides a turn for tiny pens, at most 4096 for huge ones
// (exact to 1/16 pixel up to a radius of about 400,000 pixels).
constexpr double kMaxPenStep = std::numbers::pi / 4;
constexpr double kMinPenStep = 2 * std::numbers::pi / 4096;
// Keeps every corner a finite float, whatever the width and matrix.
constexpr double kMaxPenRadius = 1e30;
// Sharper turns keep their bands whole: the cut point would run far out.
constexpr double kMaxCutTurn = 0.75 * std::numbers::pi;
// Pieces are handed to the converter in batches of about this many points.
constexpr size_t kBatchPoints = 4096;

class Stroker {
 public:
  // m maps the path and the pen (a disc of radius half_width) to pixels; m must be finite and
  // invertible.
  Stroker(quill::ScanConverter& converter, const quill::Affine& m, double half_width, const quill::ClipRect& clip);
  void Stroke(const quill::PathView& path);

 private:
  // How a band ends at a vertex: straight across, or, on the turn's inner side, cut along the
  // bisector to `cut_point`.
  struct Vertex {
    double turn = 0;  // signed angle from the incoming to the outgoing direction
    bool cut = false;
    Vec cut_point{};
  };

  Vec Map(quill::PathPoint p) const {
    return {double{p.x} * m_[0] + double{p.y} * m_[2] + m_[4], double{p.x} * m_[1] + double{p.y} * m_[3] + m_[5]};
  }
  // Pen offsets (path space) to pixel offsets, and pixel directions back to path space.
  Vec Linear(Vec v) const { return {v.x * m_[0] + v.y * m_[2], v.x * m_[1] + v.y * m_[3]}; }
  Vec Unmap(Vec d) const { return {d.x * inverse_[0] + d.y * inverse_[2], d.x * inverse_[1] + d.y * inverse_[3]}; }
  bool InBox(Vec p) const { return p.x >= box_left_ && p.x <= box_right_ && p.y >= box_top_ && p.y <= box_bottom_; }

  void LineTo(Vec p);
  bool PenHoldsClip(Vec center) const;
  void CubicTo(Vec c1, Vec c2, Vec end);
  void EndSubOutline(bool closed);
  void Band(size_t from, size_t to, const Vertex& start, const Vertex& end);
  void Arc(Vec center, double first_angle, double sweep);
  void Emit(std::vector<Vec>& polygon);
  void Flush();

  quill::ScanConverter& converter_;
  double m_[6];
  double inverse_[4];  // of m's linear part
  double half_width_;
  double max_step_;  // pen polygon step (radians) keeping within kPenTolerance
  // Pieces with no point in this box (the clip grown by the pen) cannot reach the clip; the
  // converter ignores closed outlines beside the clip, so they are left out.
  double box_left_, box_top_, box_right_, box_bottom_;
  // Points go to the converter relative to a float origin near the clip: small offsets keep
  // float precision wherever the clip lies.
  double origin_x_, origin_y_;
  quill::ClipRect clip_;
  bool covered_ = false;  // the pen at a path point holds the whole clip

  // The sub-outline being stroked: its distinct consecutive points in pixels.
  bool started_ = false;
  bool has_piece_ = false;  // a line or curve was added, if only of zero length
  std::vector<Vec> points_;
  // Per segment i (points_[i] to the next): its unit direction and length in path space.
  std::vector<Vec> directions_;
  std::vector<double> lengths_;
  std::vector<Vertex> vertices_;

  std::vector<Vec> polygon_;
  std::vector<quill::PathPoint> batch_points_;
  std::vector<uint32_t> batch_codes_;
};

Stroker::Stroker(quill::ScanConverter& converter, const quill::Affine& m, double half_width,
                 const quill::ClipRect& clip)
    : converter_(converter), clip_(clip) {
  for (int i = 0; i < 6; ++i) m_[i] = m.m[i];
  const double det = m_[0] * m_[3] - m_[1] * m_[2];
  inverse_[0] = m_[3] / det;
  inverse_[1] = -m_[1] / det;
  inverse_[2] = -m_[2] / det;
  inverse_[3] = m_[0] / det;
  // The pen's largest radius in pixels: the larger singular value of the linear part.
  const double sum = m_[0] * m_[0] + m_[1] * m_[1] + m_[2] * m_[2] + m_[3] * m_[3];
  const double stretch = std::sqrt((sum + std::sqrt(std::max(0.0, sum * sum - 4 * det * det))) / 2);
  half_width_ = std::min(half_width, kMaxPenRadius / stretch);
  const double radius = half_width_ * stretch;
  // A chord polygon with its corners at 2r / (1 + cos(step/2)) strays r tan^2(step/4) either side
  // of the circle.
  max_step_ = std::clamp(4 * std::atan(std::sqrt(kPenTolerance / radius)), kMinPenStep, kMaxPenStep);
  // Pen polygons reach 2 / (1 + cos(pi/8)) < 1.04 of the pen, cut points 1 / cos(kMaxCutTurn/2)
  // < 2.7 of it; 2 pixels more is slack.
  const double reach_x = 3 * half_width_ * std::hypot(m_[0], m_[2]) + 2;
  const double reach_y = 3 * half_width_ * std::hypot(m_[1], m_[3]) + 2;
  box_left_ = clip.left - reach_x;
  box_right_ = clip.right + reach_x;
  box_top_ = clip.top - reach_y;
  box_bottom_ = clip.bottom + reach_y;
  origin_x_ = static_cast<float>(clip.left);
  origin_y_ = static_cast<float>(clip.top);
  polygon_.reserve(64);
  batch_points_.reserve(kBatchPoints + 64);
  batch_codes_.reserve(kBatchPoints + 64);
}

// Walks the path as the converter's AddPath does (a non-finite point is skipped and its
// neighbours joined), but leaves open sub-outlines open.
void Stroker::Stroke(const quill::PathView& path) {
  const int32_t count = path.count;
  for (int32_t i = 0; i < count && !covered_;) {
    const uint32_t code = path.codes[i];
    if (code == quill::kPathCurvePoint) {
      int32_t run = 1;
      while (run < 3 && i + run < count && path.codes[i + run] == quill::kPathCurvePoint) ++run;
      if (run == 3 && started_) {
        const Vec c1 = Map(path.points[i]), c2 = Map(path.points[i + 1]), end = Map(path.points[i + 2]);
        if (!Finite(c1) || !Finite(c2)) LineTo(end);
        else if (Finite(end)) CubicTo(c1, c2, end);
      } else {
        for (int32_t k = 0; k < run; ++k) LineTo(Map(path.points[i + k]));
      }
      i += run;
      continue;
    }
    const Vec p = Map(path.points[i]);
    switch (code) {
      case quill::kPathMoveTo:
        EndSubOutline(false);
        if (Finite(p)) LineTo(p);
        break;
      case quill::kPathLineTo: LineTo(p); break;
      case quill::kPathClose:
        if (started_) {
          const Vec start = points_.front();
          EndSubOutline(true);
          LineTo(start);  // what follows starts again where the closed one began
        }
        break;
      default: break;  // unknown codes carry no segment
    }
    ++i;
  }
  EndSubOutline(false);
  Flush();
}

void Stroker::LineTo(Vec p) {
  if (!Finite(p) || covered_) return;
  if (started_) {
    // The pen around a painted point (a piece's end) lies in the stroke. Holding the whole clip,
    // it settles every pixel: wide pens would otherwise add piece after piece crossing every row.
    if (PenHoldsClip(p) || (!has_piece_ && PenHoldsClip(points_.back()))) {
      const double left = clip_.left, top = clip_.top, right = clip_.right, bottom = clip_.bottom;
      polygon_.assign({{left, top}, {right, top}, {right, bottom}, {left, bottom}});
      Emit(polygon_);
      covered_ = true;
      return;
    }
    has_piece_ = true;
  }
  started_ = true;
  if (points_.empty() || p.x != points_.back().x || p.y != points_.back().y) points_.push_back(p);
}

bool Stroker::PenHoldsClip(Vec center) const {
  const double left = clip_.left, top = clip_.top, right = clip_.right, bottom = clip_.bottom;
  for (const Vec corner : {Vec{left, top}, Vec{right, top}, Vec{left, bottom}, Vec{right, bottom}}) {
    const Vec d = Unmap(corner - center);
    if (!(std::hypot(d.x, d.y) <= half_width_)) return false;
  }
  return true;
}

void Stroker::CubicTo(Vec c1, Vec c2, Vec end) {
  const Vec p0 = points_.back();
  const double min_x = std::min({p0.x, c1.x, c2.x, end.x}), max_x = std::max({p0.x, c1.x, c2.x, end.x});
  const double min_y = std::min({p0.y, c1.y, c2.y, end.y}), max_y = std::max({p0.y, c1.y, c2.y, end.y});
  int32_t segments = 1;
  // A curve whose hull misses the box paints nothing in the clip; its chord keeps the joins.
  if (max_x >= box_left_ && min_x <= box_right_ && max_y >= box_top_ && min_y <= box_bottom_) {
    // Chords of 1/n steps stay within max|B''| / (8 n^2) = 6 * (larger second difference) / (8 n^2).
    const Vec a = p0 - 2 * c1 + c2, b = c1 - 2 * c2 + end;
    const double second_diff = std::sqrt(std::max(Dot(a, a), Dot(b, b)));
    const double wanted = std::ceil(std::sqrt(0.75 * second_diff / kStrokeFlatness));
    // The comparisons also send a NaN to a single chord.
    if (wanted >= 1)
      segments = wanted < kMaxStrokeCurveSegments ? static_cast<int32_t>(wanted) : kMaxStrokeCurveSegments;
  }
  const double step = 1.0 / segments;
  for (int32_t i = 1; i < segments; ++i) {
    const double t = i * step, u = 1 - t;
    const double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
    LineTo({b0 * p0.x + b1 * c1.x + b2 * c2.x + b3 * end.x, b0 * p0.y + b1 * c1.y + b2 * c2.y + b3 * end.y});
  }
  LineTo(end);
}

void Stroker::EndSubOutline(bool closed) {
  if (!started_ || covered_) {
    started_ = has_piece_ = false;
    points_.clear();
    return;
  }
  if (closed && points_.size() > 1 && points_.back().x == points_.front().x && points_.back().y == points_.front().y)
    points_.pop_back();
  const size_t n = points_.size();
  if (n == 1) {
    if ((has_piece_ || closed) && InBox(points_[0])) Arc(points_[0], 0, 2 * std::numbers::pi);
  } else {
    const size_t segments = closed ? n : n - 1;
    directions_.clear();
    lengths_.clear();
    for (size_t i = 0; i < segments; ++i) {
      const Vec d = Unmap(points_[(i + 1) % n] - points_[i]);
      const double length = std::hypot(d.x, d.y);
      lengths_.push_back(length);
      // Guards the division against underflow and overflow.
      directions_.push_back(length > 0 && std::isfinite(length) ? (1 / length) * d : Vec{0, 0});
    }
    vertices_.assign(n, Vertex{});
    for (size_t v = closed ? 0 : 1; v < (closed ? n : n - 1); ++v) {
      const size_t in = (v + segments - 1) % segments, out = v;
      const Vec a = directions_[in], b = directions_[out];
      Vertex& vertex = vertices_[v];
      vertex.turn = std::atan2(Cross(a, b), Dot(a, b));
      if (vertex.turn == 0 || !InBox(points_[v])) continue;
      const double from = std::atan2(a.y, a.x), to = std::atan2(b.y, b.x);
      // A left turn (positive) has its outer side on the right.
      if (vertex.turn > 0) Arc(points_[v], from - std::numbers::pi / 2, vertex.turn);
      else Arc(points_[v], to + std::numbers::pi / 2, -vertex.turn);
      // The inner sides of the two bands meet 1 / cos(turn/2) pens from the vertex; the cut is
      // only exact while it stays within half of either segment.
      const double turn = std::fabs(vertex.turn);
      if (turn < kMaxCutTurn && half_width_ * std::tan(turn / 2) <= 0.5 * std::min(lengths_[in], lengths_[out])) {
        const Vec inner = vertex.turn > 0 ? Left(a) + Left(b) : Vec{0, 0} - Left(a) - Left(b);
        vertex.cut = true;
        vertex.cut_point = points_[v] + (half_width_ / (1 + std::cos(turn))) * Linear(inner);
      }
    }
    for (size_t i = 0; i < segments; ++i) Band(i, (i + 1) % n, vertices_[i], vertices_[(i + 1) % n]);
    if (!closed) {
      // Half pens beyond the ends: the bands cover the other halves.
      const double first = std::atan2(directions_.front().y, directions_.front().x);
      const double last = std::atan2(directions_.back().y, directions_.back().x);
      if (InBox(points_.front())) Arc(points_.front(), first + std::numbers::pi / 2, std::numbers::pi);
      if (InBox(points_.back())) Arc(points_.back(), last - std::numbers::pi / 2, std::numbers::pi);
    }
  }
  started_ = has_piece_ = false;
  points_.clear();
}

// The pen swept along points_[from] to points_[to]: a parallelogram with its ends cut as the
// vertices say. Only the part inside the box can reach the clip; an end moved by that is left
// straight.
void Stroker::Band(size_t from, size_t to, const Vertex& start, const Vertex& end) {
  const Vec dir = directions_[from];
  if (dir.x == 0 && dir.y == 0) return;
  Vec p = points_[from], q = points_[to];
  bool p_moved = false, q_moved = false;
  // Keeps the part with coordinate * sign <= limit * sign. The moved end is found from the end
  // kept, and its clipped coordinate set exactly, so lines far longer than the clip keep their
  // place to the pixel.
  const auto keep = [&](bool x_axis, double limit, double sign) {
    const auto coord = [&](Vec v) { return x_axis ? v.x : v.y; };
    const bool p_out = coord(p) * sign > limit * sign, q_out = coord(q) * sign > limit * sign;
    if (p_out && q_out) return false;
    if (p_out || q_out) {
      Vec& out = p_out ? p : q;
      const Vec in = p_out ? q : p;
      Vec moved = in + ((limit - coord(in)) / (coord(out) - coord(in))) * (out - in);
      (x_axis ? moved.x : moved.y) = limit;
      out = moved;
      (p_out ? p_moved : q_moved) = true;
    }
    return true;
  };
  if (!keep(true, box_right_, 1) || !keep(true, box_left_, -1) || !keep(false, box_bottom_, 1) ||
      !keep(false, box_top_, -1))
    return;
  const Vec left = half_width_ * Linear(Left(dir));
  polygon_.clear();
  // Across the far end from right to left, then across the near end from left to right.
  if (!q_moved && end.cut && end.turn > 0) polygon_.insert(polygon_.end(), {q - left, q, end.cut_point});
  else if (!q_moved && end.cut) polygon_.insert(polygon_.end(), {end.cut_point, q, q + left});
  else polygon_.insert(polygon_.end(), {q - left, q + left});
  if (!p_moved && start.cut && start.turn > 0) polygon_.insert(polygon_.end(), {start.cut_point, p, p - left});
  else if (!p_moved && start.cut) polygon_.insert(polygon_.end(), {p + left, p, start.cut_point});
  else polygon_.insert(polygon_.end(), {p + left, p - left});
  Emit(polygon_);
}

// A polygon of the pen around `center` over the angles first_angle .. + sweep (in path space);
// a part pen includes the center.
void Stroker::Arc(Vec center, double first_angle, double sweep) {
  const int32_t steps = std::max(1, static_cast<int32_t>(std::ceil(sweep / max_step_)));
  const double step = sweep / steps;
  const double radius = half_width_ * 2 / (1 + std::cos(step / 2));
  const bool whole = sweep >= 2 * std::numbers::pi;
  polygon_.clear();
  if (!whole) polygon_.push_back(center);
  for (int32_t i = 0; i < (whole ? steps : steps + 1); ++i) {
    const double angle = first_angle + i * step;
    polygon_.push_back(center + radius * Linear({std::cos(angle), std::sin(angle)}));
  }
  Emit(polygon_);
}

// Adds a convex polygon wound positively: overlapping pieces must add up under non-zero winding,
// never cancel, whatever order their corners came in.
void Stroker::Emit(std::vector<Vec>& polygon) {
  if (covered_) return;
  double area = 0;
  Vec low = polygon[0], high = polygon[0];
  for (size_t i = 0, n = polygon.size(); i < n; ++i) {
    area += Cross(polygon[i] - polygon[0], polygon[(i + 1) % n] - polygon[0]);
    low = {std::min(low.x, polygon[i].x), std::min(low.y, polygon[i].y)};
    high = {std::max(high.x, polygon[i].x), std::max(high.y, polygon[i].y)};
  }
  if (!(area != 0) || !std::isfinite(area)) return;
  // A closed outline beside the clip changes none of its pixels, not even by winding.
  if (high.x <= clip_.left || low.x >= clip_.right || high.y <= clip_.top || low.y >= clip_.bottom) return;
  if (area < 0) std::reverse(polygon.begin(), polygon.end());
  for (size_t i = 0; i < polygon.size(); ++i) {
    batch_points_.push_back(
        {static_cast<float>(polygon[i].x - origin_x_), static_cast<float>(polygon[i].y - origin_y_)});
    batch_codes_.push_back(i == 0 ? quill::kPathMoveTo : quill::kPathLineTo);
  }
  if (batch_points_.size() >= kBatchPoints) Flush();
}

void Stroker::Flush() {
  if (batch_points_.empty()) return;
  quill::Affine shift;
  shift.m[4] = static_cast<float>(origin_x_);
  shift.m[5] = static_cast<float>(origin_y_);
  converter_.AddPath({batch_points_.data(), batch_codes_.data(), static_cast<int32_t>(batch_points_.size())}, shift);
  batch_points_.clear();
  batch_codes_.clear();
}

}  // namespace

void StrokePath(ScanConverter& converter, const Affine& m, double half_width, const ClipRect& clip,
                const PathView& path) {
  Stroker(converter, m, half_width, clip).Stroke(path);
}

}  // namespace quill
