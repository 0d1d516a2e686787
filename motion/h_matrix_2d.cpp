#include "motion/h_matrix_2d.h"

#include <cmath>
#include <stdexcept>

namespace vantor::tracking {
namespace {

constexpr double kSingular = 1e-8;

[[noreturn]] void Unknown(const char* where) {
  throw std::invalid_argument(std::string(where) + ": Un-recognized homography type");
}

// (x, y) turned by theta.
Point2d Rotate(double theta, double x, double y) {
  const double c = std::cos(theta), s = std::sin(theta);
  return {c * x - s * y, s * x + c * y};
}

}  // namespace

int32_t h_matrix_2d_base::parameter_count() const {
  static constexpr int32_t kCounts[] = {2, 1, 1, 3, 4, 6, 9};
  if (type < kTranslation || type > kPerspective) Unknown("h_matrix_2d_base::parameter_count()");
  return kCounts[type - 1];
}

int32_t h_matrix_2d_base::number_of_minimum_points() const {
  static constexpr int32_t kCounts[] = {1, 1, 1, 2, 2, 3, 4};
  if (type < kTranslation || type > kPerspective) Unknown("h_matrix_2d_base::number_of_minimum_points()");
  return kCounts[type - 1];
}

Point2d h_matrix_2d::operator()(Point2d p) const {
  const auto& h = parameters;
  switch (type) {
    case kTranslation: return {p.x + h[0], p.y + h[1]};
    case kUniformScale: return {h[0] * p.x, h[0] * p.y};
    case kRotation: return Rotate(h[0], p.x, p.y);
    case kRigid: {
      const Point2d r = Rotate(h[2], p.x, p.y);
      return {r.x + h[0], r.y + h[1]};
    }
    case kSimilarity: {
      const Point2d r = Rotate(h[2], p.x, p.y);
      return {h[3] * r.x + h[0], h[3] * r.y + h[1]};
    }
    case kAffine: return {h[2] * p.x + h[3] * p.y + h[0], h[4] * p.x + h[5] * p.y + h[1]};
    case kPerspective: {
      const double w = h[6] * p.x + h[7] * p.y + h[8];
      return {(h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w};
    }
    default: Unknown("h_matrix_2d::operator()");
  }
}

double h_matrix_2d::determinant() const {
  const auto& h = parameters;
  return h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) + h[2] * (h[3] * h[7] - h[4] * h[6]);
}

void h_matrix_2d::normalize() {
  if (type < kTranslation || type > kPerspective) Unknown("h_matrix_2d::normalize()");
  if (type != kPerspective) return;
  const double d = determinant();
  if (d == 0 || !std::isfinite(d)) return;
  const double root = std::cbrt(d);  // real cube root: negative for negative d
  for (double& v : parameters) v /= root;
}

bool h_matrix_2d::is_invertible() const {
  const auto& h = parameters;
  switch (type) {
    case kTranslation:
    case kRotation:
    case kRigid: return true;
    case kUniformScale: return h[0] != 0;
    case kSimilarity: return h[3] != 0;
    case kAffine: return std::fabs(h[2] * h[5] - h[3] * h[4]) > kSingular;
    case kPerspective: return std::fabs(determinant()) > kSingular;
    default: return false;
  }
}

h_matrix_2d h_matrix_2d::inverse() const {
  h_matrix_2d r(type);
  if (!is_invertible()) return r;
  const auto& h = parameters;
  auto& o = r.parameters;
  switch (type) {
    case kTranslation: o[0] = -h[0], o[1] = -h[1]; break;
    case kUniformScale: o[0] = 1 / h[0]; break;
    case kRotation: o[0] = -h[0]; break;
    case kRigid: {
      const Point2d t = Rotate(-h[2], h[0], h[1]);
      o[0] = -t.x, o[1] = -t.y, o[2] = -h[2];
      break;
    }
    case kSimilarity: {
      const Point2d t = Rotate(-h[2], h[0], h[1]);
      o[0] = -t.x / h[3], o[1] = -t.y / h[3], o[2] = -h[2], o[3] = 1 / h[3];
      break;
    }
    case kAffine: {
      const double det = h[2] * h[5] - h[3] * h[4];
      const double a = h[5] / det, b = -h[3] / det, c = -h[4] / det, d = h[2] / det;
      o[2] = a, o[3] = b, o[4] = c, o[5] = d;
      o[0] = -(a * h[0] + b * h[1]);
      o[1] = -(c * h[0] + d * h[1]);
      break;
    }
    case kPerspective: {
      const double det = determinant();
      o[0] = (h[4] * h[8] - h[5] * h[7]) / det;
      o[1] = (h[2] * h[7] - h[1] * h[8]) / det;
      o[2] = (h[1] * h[5] - h[2] * h[4]) / det;
      o[3] = (h[5] * h[6] - h[3] * h[8]) / det;
      o[4] = (h[0] * h[8] - h[2] * h[6]) / det;
      o[5] = (h[2] * h[3] - h[0] * h[5]) / det;
      o[6] = (h[3] * h[7] - h[4] * h[6]) / det;
      o[7] = (h[1] * h[6] - h[0] * h[7]) / det;
      o[8] = (h[0] * h[4] - h[1] * h[3]) / det;
      r.normalize();
      break;
    }
    default: break;
  }
  return r;
}

bool transfer_points_through_inverse(const h_matrix_2d& model, const std::vector<Point2d>& in,
                                     std::vector<Point2d>& out) {
  if (!model.is_invertible()) return false;
  const h_matrix_2d inv = model.inverse();
  std::vector<Point2d> mapped;
  mapped.reserve(in.size());
  for (const Point2d& p : in) mapped.push_back(inv(p));
  out = std::move(mapped);
  return true;
}

}  // namespace vantor::tracking
