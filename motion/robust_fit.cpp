#include "motion/robust_fit.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <numeric>

#include "platform/runtime/debug_database.h"

// Singular value decomposition (Fortran LAPACK; trailing hidden lengths of the two flags).
extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a, const int* lda,
                        double* s, double* u, const int* ldu, double* vt, const int* ldvt, double* work,
                        const int* lwork, int* info, size_t jobu_len, size_t jobvt_len);

namespace vantor::tracking {
namespace {

constexpr double kDegenerate = 1e-8;
constexpr double kProjectiveDenominator = 1e-7;

using Mat3 = std::array<double, 9>;  // row order, column-vector convention

Mat3 Mul(const Mat3& l, const Mat3& r) {
  Mat3 o{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) o[i * 3 + j] += l[i * 3 + k] * r[k * 3 + j];
  return o;
}

double Det(const Mat3& h) {
  return h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) + h[2] * (h[3] * h[7] - h[4] * h[6]);
}

Mat3 Adjugate(const Mat3& h) {
  return {h[4] * h[8] - h[5] * h[7], h[2] * h[7] - h[1] * h[8], h[1] * h[5] - h[2] * h[4],
          h[5] * h[6] - h[3] * h[8], h[0] * h[8] - h[2] * h[6], h[2] * h[3] - h[0] * h[5],
          h[3] * h[7] - h[4] * h[6], h[1] * h[6] - h[0] * h[7], h[0] * h[4] - h[1] * h[3]};
}

bool Finite(const h_matrix_2d& h) {
  const int32_t count = h.parameter_count();
  for (int32_t i = 0; i < count; ++i)
    if (!std::isfinite(h.parameters[i])) return false;
  return true;
}

// Similarity that centres a point set and scales it to a unit-order spread.
struct Normalizer {
  double cx = 0, cy = 0, k = 1;
  Point2d operator()(const Point2d& p) const { return {k * (p.x - cx), k * (p.y - cy)}; }
  Mat3 forward() const { return {k, 0, -k * cx, 0, k, -k * cy, 0, 0, 1}; }
  Mat3 backward() const { return {1 / k, 0, cx, 0, 1 / k, cy, 0, 0, 1}; }
};

// Scale sqrt(2) / mean distance to the centroid; fails for a set with no spread.
bool Normalize(const Point2d* p, size_t count, Normalizer& out) {
  if (count == 0) return false;
  double sx = 0, sy = 0;
  for (size_t i = 0; i < count; ++i) sx += p[i].x, sy += p[i].y;
  out.cx = sx / static_cast<double>(count);
  out.cy = sy / static_cast<double>(count);
  double dist = 0;
  for (size_t i = 0; i < count; ++i) dist += std::hypot(p[i].x - out.cx, p[i].y - out.cy);
  if (!(dist >= kDegenerate) || !std::isfinite(dist)) return false;
  out.k = std::sqrt(2.0) * static_cast<double>(count) / dist;
  return out.k >= kDegenerate;
}

// Projective map taking the unit square's corners (0,0), (1,0), (1,1), (0,1) to q[0..3].
bool SquareToQuad(const Point2d* q, Mat3& out) {
  const double sx = q[0].x - q[1].x + q[2].x - q[3].x, sy = q[0].y - q[1].y + q[2].y - q[3].y;
  const double dx1 = q[1].x - q[2].x, dx2 = q[3].x - q[2].x;
  const double dy1 = q[1].y - q[2].y, dy2 = q[3].y - q[2].y;
  const double den = dx1 * dy2 - dx2 * dy1;
  if (!(std::fabs(den) >= kProjectiveDenominator)) return false;
  const double g = (sx * dy2 - dx2 * sy) / den, h = (dx1 * sy - sx * dy1) / den;
  // One row of the matrix a line.
  // clang-format off
  out = {q[1].x - q[0].x + g * q[1].x, q[3].x - q[0].x + h * q[3].x, q[0].x,
         q[1].y - q[0].y + g * q[1].y, q[3].y - q[0].y + h * q[3].y, q[0].y,
         g, h, 1};
  // clang-format on
  return true;
}

void SetRigid(h_matrix_2d& h, double theta, double s, Point2d ca, Point2d cb) {
  const double c = std::cos(theta), sn = std::sin(theta);
  h.parameters[0] = ca.x - s * (c * cb.x - sn * cb.y);
  h.parameters[1] = ca.y - s * (sn * cb.x + c * cb.y);
  h.parameters[2] = theta;
  if (h.type == kSimilarity) h.parameters[3] = s;
}

void SetMatrix(h_matrix_2d& h, const Mat3& m) {
  std::copy(m.begin(), m.end(), h.parameters.begin());
  h.normalize();  // scale-free; keeps the invertibility test meaningful
}

// Minimal solvers: a[i] ~ h(b[i]) exactly for the sample.
bool FitMinimal(h_matrix_2d& h, const Point2d* a, const Point2d* b) {
  switch (h.type) {
    case kTranslation:
      h.parameters[0] = a[0].x - b[0].x;
      h.parameters[1] = a[0].y - b[0].y;
      break;
    case kRigid:
    case kSimilarity: {
      const Point2d da{a[0].x - a[1].x, a[0].y - a[1].y}, db{b[0].x - b[1].x, b[0].y - b[1].y};
      const double theta = std::atan2(db.x * da.y - db.y * da.x, db.y * da.y + db.x * da.x);
      const Point2d ma{(a[0].x + a[1].x) / 2, (a[0].y + a[1].y) / 2};
      const Point2d mb{(b[0].x + b[1].x) / 2, (b[0].y + b[1].y) / 2};
      double s = 1;
      if (h.type == kSimilarity) {
        const double c = std::cos(theta), sn = std::sin(theta);
        const double q = da.x * (c * db.x - sn * db.y) + da.y * (sn * db.x + c * db.y);
        if (!(q >= kDegenerate)) return false;
        s = (da.x * da.x + da.y * da.y) / q;
      }
      SetRigid(h, theta, s, ma, mb);
      break;
    }
    case kAffine: {
      // Rows (x, y, 1) of the three source points; Cramer's rule through the adjugate.
      const Mat3 m{b[0].x, b[0].y, 1, b[1].x, b[1].y, 1, b[2].x, b[2].y, 1};
      const double det = Det(m);
      if (!(std::fabs(det) >= kDegenerate)) return false;
      const Mat3 inv = Adjugate(m);
      auto solve = [&](double r0, double r1, double r2, int row) {
        return (inv[row * 3] * r0 + inv[row * 3 + 1] * r1 + inv[row * 3 + 2] * r2) / det;
      };
      h.parameters[2] = solve(a[0].x, a[1].x, a[2].x, 0);
      h.parameters[3] = solve(a[0].x, a[1].x, a[2].x, 1);
      h.parameters[0] = solve(a[0].x, a[1].x, a[2].x, 2);
      h.parameters[4] = solve(a[0].y, a[1].y, a[2].y, 0);
      h.parameters[5] = solve(a[0].y, a[1].y, a[2].y, 1);
      h.parameters[1] = solve(a[0].y, a[1].y, a[2].y, 2);
      break;
    }
    case kPerspective: {
      // Minimal-sample normalisation: scale from the mean distance to the centroid.
      Normalizer na, nb;
      if (!Normalize(a, 4, na) || !Normalize(b, 4, nb)) return false;
      std::array<Point2d, 4> qa, qb;
      for (int i = 0; i < 4; ++i) qa[i] = na(a[i]), qb[i] = nb(b[i]);
      Mat3 sa, sb;
      if (!SquareToQuad(qa.data(), sa) || !SquareToQuad(qb.data(), sb)) return false;
      const double det = Det(sb);
      if (!(std::fabs(det) >= kProjectiveDenominator)) return false;
      Mat3 inv = Adjugate(sb);
      for (double& v : inv) v /= det;
      SetMatrix(h, Mul(na.backward(), Mul(Mul(sa, inv), nb.forward())));
      break;
    }
    default: return false;
  }
  return Finite(h);
}

bool FitDlt(h_matrix_2d& h, const std::vector<Point2d>& a, const std::vector<Point2d>& b) {
  const size_t count = a.size();
  Normalizer na, nb;
  if (!Normalize(a.data(), count, na) || !Normalize(b.data(), count, nb)) return false;
  const int rows = static_cast<int>(3 * count), cols = 9;
  std::vector<double> m(static_cast<size_t>(rows) * cols, 0.0);  // column major
  auto set = [&](size_t r, int c, double v) { m[static_cast<size_t>(c) * rows + r] = v; };
  for (size_t i = 0; i < count; ++i) {
    const Point2d p = nb(b[i]), q = na(a[i]);
    const double bv[3] = {p.x, p.y, 1};
    // Rows of q x (H p) = 0, with q = (u, v, 1).
    for (int j = 0; j < 3; ++j) {
      set(3 * i, 3 + j, -bv[j]);
      set(3 * i, 6 + j, q.y * bv[j]);
      set(3 * i + 1, j, bv[j]);
      set(3 * i + 1, 6 + j, -q.x * bv[j]);
      set(3 * i + 2, j, -q.y * bv[j]);
      set(3 * i + 2, 3 + j, q.x * bv[j]);
    }
  }
  const int ldvt = std::min(rows, cols), one = 1;
  std::vector<double> s(static_cast<size_t>(ldvt)), vt(static_cast<size_t>(ldvt) * cols);
  double u = 0, query = 0;
  int lwork = -1, info = 0;
  dgesvd_("N", "S", &rows, &cols, m.data(), &rows, s.data(), &u, &one, vt.data(), &ldvt, &query, &lwork, &info, 1, 1);
  if (info != 0) return false;
  lwork = std::max(1, static_cast<int>(query));
  std::vector<double> work(static_cast<size_t>(lwork));
  dgesvd_("N", "S", &rows, &cols, m.data(), &rows, s.data(), &u, &one, vt.data(), &ldvt, work.data(), &lwork, &info, 1,
          1);
  if (info != 0 || ldvt < 9) return false;
  if (!(s[7] >= 1e-4 * s[6])) return false;  // null space not unique
  Mat3 hn;
  for (int j = 0; j < 9; ++j) hn[j] = vt[static_cast<size_t>(8 + j * ldvt)];
  SetMatrix(h, Mul(na.backward(), Mul(hn, nb.forward())));
  return Finite(h);
}

// Least-squares refit on the inlier pairs.
std::vector<Point2d> ToDouble(const std::vector<Point2f>& points) {
  std::vector<Point2d> out(points.size());
  for (size_t i = 0; i < points.size(); ++i) out[i] = {points[i].x, points[i].y};
  return out;
}

double Mean(std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()); }

// Reorders `v`; the mean of the two middle values where there is an even number.
double Median(std::vector<double>& v) {
  const size_t half = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + ptrdiff_t(half), v.end());
  if (v.size() % 2 != 0) return v[half];
  return (v[half] + *std::max_element(v.begin(), v.begin() + ptrdiff_t(half))) / 2;
}

bool FitLeastSquares(h_matrix_2d& h, const std::vector<Point2d>& a, const std::vector<Point2d>& b) {
  const size_t count = a.size();
  if (count < static_cast<size_t>(h.number_of_minimum_points())) return false;
  switch (h.type) {
    case kTranslation: {
      std::vector<double> xs(count), ys(count);
      for (size_t i = 0; i < count; ++i) xs[i] = a[i].x - b[i].x, ys[i] = a[i].y - b[i].y;
      // The median shift: a group of features that all move a little off (an edge sliding along
      // itself, a shadow) pulls a mean with it, and a chain of presses keeps the pull.
      const auto centre = qrs::DebugBool("RMTMedianShift", true) ? Median : Mean;
      h.parameters[0] = centre(xs), h.parameters[1] = centre(ys);
      break;
    }
    case kRigid:
    case kSimilarity:
    case kAffine: {
      Normalizer na, nb;
      if (!Normalize(a.data(), count, na) || !Normalize(b.data(), count, nb)) return false;
      double cross = 0, dot = 0, sxx = 0, sxy = 0, syy = 0, sux = 0, suy = 0, svx = 0, svy = 0;
      for (size_t i = 0; i < count; ++i) {
        const Point2d p = nb(b[i]), q = na(a[i]);
        cross += p.x * q.y - p.y * q.x;
        dot += p.x * q.x + p.y * q.y;
        sxx += p.x * p.x, sxy += p.x * p.y, syy += p.y * p.y;
        sux += q.x * p.x, suy += q.x * p.y, svx += q.y * p.x, svy += q.y * p.y;
      }
      const Point2d ca{na.cx, na.cy}, cb{nb.cx, nb.cy};
      const double ratio = nb.k / na.k;  // back from normalised to pixel scale
      if (h.type != kAffine) {
        const double theta = std::atan2(cross, dot);
        double s = 1;
        if (h.type == kSimilarity) {
          const double len = sxx + syy;
          if (!(len >= kDegenerate)) return false;
          // Projections of a onto R b summed: cos(theta) dot + sin(theta) cross.
          const double proj = std::cos(theta) * dot + std::sin(theta) * cross;
          if (!(proj >= kDegenerate)) return false;
          s = proj / len * ratio;
        }
        SetRigid(h, theta, s, ca, cb);
        break;
      }
      // Centred data make the 3x3 normal matrix block diagonal: det = count * det2.
      const double det2 = sxx * syy - sxy * sxy;
      if (!(std::fabs(static_cast<double>(count) * det2) >= kDegenerate)) return false;
      const double la = (sux * syy - suy * sxy) / det2 * ratio, lb = (suy * sxx - sux * sxy) / det2 * ratio;
      const double lc = (svx * syy - svy * sxy) / det2 * ratio, ld = (svy * sxx - svx * sxy) / det2 * ratio;
      h.parameters[2] = la, h.parameters[3] = lb, h.parameters[4] = lc, h.parameters[5] = ld;
      h.parameters[0] = ca.x - (la * cb.x + lb * cb.y);
      h.parameters[1] = ca.y - (lc * cb.x + ld * cb.y);
      break;
    }
    case kPerspective: return FitDlt(h, a, b);
    default: return false;
  }
  return Finite(h);
}

// Residuals, inlier flags and cost of one model; returns the cost.
double Score(const h_matrix_2d& h, const std::vector<Point2d>& a, const std::vector<Point2d>& b,
             const robust_fit_options& o, std::vector<bool>& bits, size_t& inliers) {
  const size_t n = a.size();
  bits.assign(n, false);
  inliers = 0;
  const bool invertible = h.is_invertible();
  const h_matrix_2d inv = h.inverse();
  double cost = 0;
  for (size_t i = 0; i < n; ++i) {
    double r = o.inlier_threshold;
    if (invertible) {
      const Point2d f = h(b[i]), g = inv(a[i]);
      r = (f.x - a[i].x) * (f.x - a[i].x) + (f.y - a[i].y) * (f.y - a[i].y) + (g.x - b[i].x) * (g.x - b[i].x) +
          (g.y - b[i].y) * (g.y - b[i].y);
    }
    if (r < o.inlier_threshold) {  // NaN residuals fall through as outliers
      bits[i] = true;
      ++inliers;
      if (o.truncated_cost) cost += r / o.inlier_threshold;
    } else {
      cost += 1.0;
    }
  }
  return cost;
}

// How many of a type's parameter slots its fit moves: the slots from 0 (perspective: the
// first eight, the ninth fixed at 1).
int MovedParameters(int32_t type) {
  switch (type) {
    case kTranslation: return 2;
    case kRigid: return 3;
    case kSimilarity: return 4;
    case kAffine: return 6;
    case kPerspective: return 8;
    default: return 0;
  }
}

// Inverts the k x k matrix `m` (row order) in place by Gauss-Jordan elimination with partial
// pivoting; false when it is singular to working precision.
bool InvertInPlace(std::vector<double>& m, int k) {
  std::vector<double> inv(size_t(k) * k, 0.0);
  for (int i = 0; i < k; ++i) inv[size_t(i) * k + i] = 1;
  double largest = 0;
  for (double v : m) largest = std::max(largest, std::fabs(v));
  for (int c = 0; c < k; ++c) {
    int pivot = c;
    for (int r = c + 1; r < k; ++r)
      if (std::fabs(m[size_t(r) * k + c]) > std::fabs(m[size_t(pivot) * k + c])) pivot = r;
    const double p = m[size_t(pivot) * k + c];
    if (!(std::fabs(p) > 1e-13 * largest)) return false;
    for (int j = 0; j < k; ++j) {
      std::swap(m[size_t(c) * k + j], m[size_t(pivot) * k + j]);
      std::swap(inv[size_t(c) * k + j], inv[size_t(pivot) * k + j]);
    }
    for (int j = 0; j < k; ++j) m[size_t(c) * k + j] /= p, inv[size_t(c) * k + j] /= p;
    for (int r = 0; r < k; ++r) {
      if (r == c) continue;
      const double f = m[size_t(r) * k + c];
      if (f == 0) continue;
      for (int j = 0; j < k; ++j)
        m[size_t(r) * k + j] -= f * m[size_t(c) * k + j], inv[size_t(r) * k + j] -= f * inv[size_t(c) * k + j];
    }
  }
  m = std::move(inv);
  return true;
}

// The derivatives of model(q) by each moved parameter, central differences: 2 x k, row order.
void PointJacobian(const h_matrix_2d& model, int k, Point2d q, std::vector<double>& jacobian) {
  jacobian.assign(size_t(2) * k, 0.0);
  h_matrix_2d moved = model;
  for (int j = 0; j < k; ++j) {
    const double step = 1e-6 * std::max(1.0, std::fabs(model.parameters[size_t(j)]));
    moved.parameters[size_t(j)] = model.parameters[size_t(j)] + step;
    const Point2d plus = moved(q);
    moved.parameters[size_t(j)] = model.parameters[size_t(j)] - step;
    const Point2d minus = moved(q);
    moved.parameters[size_t(j)] = model.parameters[size_t(j)];
    jacobian[size_t(j)] = (plus.x - minus.x) / (2 * step);
    jacobian[size_t(k + j)] = (plus.y - minus.y) / (2 * step);
  }
}

// Whether a model richer than similarity earns its extra freedom at the mask. At the mask's
// corners the richer model is off by about its predicted error; the next simpler model, fitted to
// the same inliers, by its own predicted error and by its bias there. The richer model is kept
// where it is expected to be nearer and is itself sure to half a pixel (its predicted error
// rests on a linearisation that is too hopeful far from the features). Features
// clustered in one part of a mask constrain a perspective (or shear) there and hardly at all at
// the far corners, where the mask is moved.
bool RicherModelPays(const h_matrix_2d& model, const std::vector<Point2d>& a, const std::vector<Point2d>& b,
                     const std::vector<bool>& inliers, const M_FloatRect& mask) {
  if (!(mask.right - mask.left > 0) || !(mask.bottom - mask.top > 0)) return true;
  const std::vector<Point2d> corners = {
      {mask.left, mask.top}, {mask.right, mask.top}, {mask.right, mask.bottom}, {mask.left, mask.bottom}};
  std::vector<Point2d> ia, ib;
  for (size_t i = 0; i < a.size(); ++i)
    if (inliers[i]) ia.push_back(a[i]), ib.push_back(b[i]);
  h_matrix_2d simpler(model.type == kPerspective ? kAffine : kSimilarity);
  if (!FitLeastSquares(simpler, ia, ib)) return true;
  const double richer_error = predicted_corner_error(model, ia, ib, corners);
  const double simpler_error = predicted_corner_error(simpler, ia, ib, corners);
  double difference = 0;
  for (const Point2d& q : corners) {
    const Point2d r = model(q), s = simpler(q);
    difference += (r.x - s.x) * (r.x - s.x) + (r.y - s.y) * (r.y - s.y);
  }
  difference /= double(corners.size());
  if (!std::isfinite(richer_error)) return false;
  // Noise alone sets the two models apart by about the richer one's extra variance: only the
  // difference beyond that is the simpler model's bias. Keep the richer model where that bias
  // costs more than the extra variance: difference >= 2 (richer^2 - simpler^2).
  const double extra_variance = richer_error * richer_error - simpler_error * simpler_error;
  constexpr double kMaxCornerError = 0.5;  // px: a richer model less sure than this at the corners is not taken
  return difference >= 2 * extra_variance && richer_error <= kMaxCornerError;
}

}  // namespace

double predicted_corner_error(const h_matrix_2d& fitted, const std::vector<Point2d>& a, const std::vector<Point2d>& b,
                              const std::vector<Point2d>& at) {
  h_matrix_2d model = fitted;
  if (model.type == kPerspective) {
    if (!(std::fabs(model.parameters[8]) > kDegenerate)) return INFINITY;
    const double w = model.parameters[8];
    for (double& p : model.parameters) p /= w;
  }
  const int k = MovedParameters(model.type);
  const size_t n = std::min(a.size(), b.size());
  if (k == 0 || at.empty()) return 0;
  if (2 * n <= size_t(k)) return INFINITY;
  // Gauss-Newton normal matrix and residuals of the fit.
  std::vector<double> normal(size_t(k) * k, 0.0), jacobian;
  double residual = 0;
  for (size_t i = 0; i < n; ++i) {
    const Point2d m = model(b[i]);
    residual += (a[i].x - m.x) * (a[i].x - m.x) + (a[i].y - m.y) * (a[i].y - m.y);
    PointJacobian(model, k, b[i], jacobian);
    for (int r = 0; r < k; ++r)
      for (int c = 0; c < k; ++c)
        normal[size_t(r) * k + c] +=
            jacobian[size_t(r)] * jacobian[size_t(c)] + jacobian[size_t(k + r)] * jacobian[size_t(k + c)];
  }
  if (!InvertInPlace(normal, k)) return INFINITY;
  const double variance = residual / double(2 * n - size_t(k));
  double sum = 0;
  for (const Point2d& q : at) {
    PointJacobian(model, k, q, jacobian);
    // trace(J C J^T) for the two rows of J.
    for (int row = 0; row < 2; ++row)
      for (int r = 0; r < k; ++r)
        for (int c = 0; c < k; ++c)
          sum += jacobian[size_t(row * k + r)] * normal[size_t(r) * k + c] * jacobian[size_t(row * k + c)];
  }
  return std::sqrt(std::max(0.0, variance * sum / double(at.size())));
}

double area_score(const M_FloatRect& features, const M_FloatRect& mask) {
  const double mask_area = (mask.right - mask.left) * (mask.bottom - mask.top);
  if (!(mask_area > 0) || !std::isfinite(mask_area)) return 1.0;
  return (features.right - features.left) * (features.bottom - features.top) / mask_area;
}

int32_t choose_model_type(int32_t level, uint64_t count, double area) {
  if (!qrs::DebugBool("RMTUseAreaScore", true)) area = 1.0;
  int32_t l = std::max(level, 0);
  if (count < 9) l = std::min(l, 3);
  if (count < 6 || area < 0.7) l = std::min(l, 2);
  if (count < 5) l = std::min(l, 1);
  if (count < 3 || area < 0.25) l = std::min(l, 0);
  static constexpr int32_t kTypes[] = {kTranslation, kRigid, kSimilarity, kAffine};
  return l < 4 ? kTypes[l] : kPerspective;
}

double subset_count(uint64_t n, uint64_t m) {
  if (m > n) return 0;
  const uint64_t k = std::min(m, n - m);
  if (k == 0) return 1;
  double c = static_cast<double>(n);
  for (uint64_t j = 2; j <= k; ++j) c = c * static_cast<double>(n - j + 1) / static_cast<double>(j);
  return c;
}

bool robust_fit(const robust_fit_options& options, const std::vector<Point2f>& a, const std::vector<Point2f>& b,
                std::vector<bool>& inliers, h_matrix_2d& model, std::mt19937& rng, robust_fit_trace* trace) {
  const size_t m = static_cast<size_t>(model.number_of_minimum_points());  // throws when unknown
  const int32_t type = model.type;
  if (type == kUniformScale || type == kRotation) return false;  // never chosen, no solver
  const size_t n = a.size();
  if (b.size() != n || m > 4 || n < m) return false;

  const std::vector<Point2d> pa = ToDouble(a), pb = ToDouble(b);

  const double subsets = subset_count(n, m);
  const bool exhaustive = subsets <= static_cast<double>(options.iteration_budget);
  const uint64_t bound = exhaustive ? static_cast<uint64_t>(subsets) : options.iteration_budget;
  if (trace) *trace = {exhaustive, 0};

  std::vector<size_t> order(n);  // random mode: reshuffled in place from sample to sample
  std::iota(order.begin(), order.end(), size_t{0});
  std::vector<size_t> pick(m);  // exhaustive mode: the current lexicographic subset
  std::iota(pick.begin(), pick.end(), size_t{0});
  std::array<Point2d, 4> sa, sb;

  h_matrix_2d best(type), candidate(type);
  std::vector<bool> best_bits(n, false), bits;
  double best_cost = DBL_MAX, stop = 0;
  size_t best_count = 0;
  const double log_fail = std::log(1 - options.confidence);
  bool converged = false;
  for (uint64_t k = 1; k <= bound; ++k) {
    if (exhaustive) {
      if (k > 1) {
        size_t i = m;
        while (i > 0 && pick[i - 1] == n - m + i - 1) --i;
        if (i == 0) break;  // cannot happen within the bound
        ++pick[i - 1];
        for (size_t j = i; j < m; ++j) pick[j] = pick[j - 1] + 1;
      }
    } else {
      for (size_t i = 1; i < n; ++i) std::swap(order[i], order[rng() % (i + 1)]);
      std::copy_n(order.begin(), m, pick.begin());
    }
    if (trace) trace->samples = k;
    for (size_t i = 0; i < m; ++i) sa[i] = pa[pick[i]], sb[i] = pb[pick[i]];
    candidate = h_matrix_2d(type);
    if (FitMinimal(candidate, sa.data(), sb.data())) {
      size_t count = 0;
      const double cost = Score(candidate, pa, pb, options, bits, count);
      if (cost < best_cost) {
        best_cost = cost, best = candidate, best_bits = bits, best_count = count;
        if (count == n) {
          converged = true;
          break;
        }
        stop = std::log(1 - std::pow(static_cast<double>(count) / static_cast<double>(n), static_cast<double>(m)));
      }
    }
    if (log_fail > static_cast<double>(k) * stop) {
      converged = true;
      break;
    }
  }
  if (!exhaustive && !converged) return false;  // budget spent before the confidence
  if (best_count < m) return false;

  std::vector<Point2d> ia, ib;
  for (size_t i = 0; i < n; ++i)
    if (best_bits[i]) ia.push_back(pa[i]), ib.push_back(pb[i]);
  h_matrix_2d refit(type);
  if (FitLeastSquares(refit, ia, ib)) {
    size_t count = 0;
    if (Score(refit, pa, pb, options, bits, count) < best_cost) best = refit, best_bits = bits;
  }
  model = best;
  inliers = best_bits;
  return true;
}

M_Matrix3 to_matrix3(const h_matrix_2d& model) {
  const auto& p = model.parameters;
  Mat3 h{1, 0, 0, 0, 1, 0, 0, 0, 1};
  auto rotation = [&](double theta, double s) {
    h[0] = s * std::cos(theta), h[1] = -s * std::sin(theta);
    h[3] = s * std::sin(theta), h[4] = s * std::cos(theta);
  };
  switch (model.type) {
    case kTranslation: h[2] = p[0], h[5] = p[1]; break;
    case kUniformScale: h[0] = h[4] = p[0]; break;
    case kRotation: rotation(p[0], 1); break;
    case kRigid: rotation(p[2], 1), h[2] = p[0], h[5] = p[1]; break;
    case kSimilarity: rotation(p[2], p[3]), h[2] = p[0], h[5] = p[1]; break;
    case kAffine: h = {p[2], p[3], p[0], p[4], p[5], p[1], 0, 0, 1}; break;
    case kPerspective: std::copy_n(p.begin(), 9, h.begin()); break;
    default: model.parameter_count();  // throws for the unknown type
  }
  M_Matrix3 out;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out.m[r][c] = h[c * 3 + r] / h[8];
  return out;
}

bool is_plausible(const M_FloatRect& mask, const M_Matrix3& m) {
  if (mask.right - mask.left == 0 || mask.bottom - mask.top == 0) return true;
  M_Vector2T<double> q[4] = {
      {mask.left, mask.top}, {mask.right, mask.top}, {mask.right, mask.bottom}, {mask.left, mask.bottom}};
  m.TransformPointsAndDivide(4, q);
  int sign = 0;
  for (int i = 0; i < 4; ++i) {
    const auto& p0 = q[i];
    const auto& p1 = q[(i + 1) % 4];
    const auto& p2 = q[(i + 2) % 4];
    const double cross = (p1.x - p0.x) * (p2.y - p1.y) - (p1.y - p0.y) * (p2.x - p1.x);
    if (!(std::fabs(cross) >= 1e-12)) return false;  // also rejects NaN
    const int s = cross > 0 ? 1 : -1;
    if (sign != 0 && s != sign) return false;
    sign = s;
  }
  return true;
}

int32_t motion_level_of_type(int32_t type) {
  switch (type) {
    case kTranslation: return 0;
    case kRigid: return 1;
    case kSimilarity: return 2;
    case kAffine: return 3;
    case kPerspective: return 4;
    default: return -1;
  }
}

namespace {

const char* ModelName(int32_t type) {
  static constexpr const char* kNames[] = {"translation", "rigid", "similarity", "affine", "perspective"};
  const int32_t level = motion_level_of_type(type);
  return level < 0 ? "model" : kNames[level];
}

// Why the type chosen for `level` is simpler than the level asks, or empty.
std::string CapReason(int32_t level, int32_t type, uint64_t count, double area) {
  const int32_t l = std::min(std::max(level, 0), 4);
  if (motion_level_of_type(type) >= l) return {};
  if (motion_level_of_type(choose_model_type(l, count, 1.0)) < l)
    return std::to_string(count) + " features are too few for " + ModelName(choose_model_type(l, 1000, 1.0));
  return "the features cover " + std::to_string(int(std::lround(100 * area))) + "% of the mask's box";
}

}  // namespace

M_Matrix3 fit_frame_motion(const robust_fit_options& options, int32_t level, const std::vector<Point2f>& a,
                           const std::vector<Point2f>& b, double area, const M_FloatRect& mask, std::mt19937& rng,
                           std::vector<int32_t>* attempted_types, frame_motion_report* report) {
  // Richer models are kept where the features carry them at the mask, not by how much of the
  // mask's box they cover; "RMTModelByCornerError" 0 gives back the box-ratio rule.
  const bool by_corners = qrs::DebugBool("RMTModelByCornerError", true);
  frame_motion_report local;
  frame_motion_report& r = report ? *report : local;
  r = {};
  const auto note = [&r](std::string why) {
    if (r.fallback.empty()) r.fallback = std::move(why);
  };
  for (;;) {
    // The type follows from the loop level and the caps; the level itself only falls.
    const int32_t type = choose_model_type(level, a.size(), by_corners ? 1.0 : area);
    note(CapReason(level, type, a.size(), area));
    if (attempted_types) attempted_types->push_back(type);
    h_matrix_2d model(type);
    std::vector<bool> inliers;
    if (robust_fit(options, a, b, inliers, model, rng)) {
      if (by_corners && (type == kAffine || type == kPerspective)) {
        if (!RicherModelPays(model, ToDouble(a), ToDouble(b), inliers, mask)) {
          note(std::string("the features do not carry ") + ModelName(type) + " to the mask's corners");
          level = type == kPerspective ? 3 : 2;
          continue;
        }
      }
      const M_Matrix3 m = to_matrix3(model);
      bool finite = true;
      for (const auto& row : m.m)
        for (double v : row) finite = finite && std::isfinite(v);
      if (finite && m.Determinant() > 0 && is_plausible(mask, m)) {
        r.type = type;
        r.inliers = uint64_t(std::count(inliers.begin(), inliers.end(), true));
        return m;
      }
      note(std::string("the ") + ModelName(type) + " fitted would fold the mask");
    } else {
      note(std::string("no ") + ModelName(type) + " fits the features");
    }
    if (level == 0) break;
    level = (level >= 2 && level <= 4) ? 1 : 0;
  }
  M_Matrix3 identity;
  identity.SetIdentity();  // throws its error code on failure
  return identity;
}

}  // namespace vantor::tracking
