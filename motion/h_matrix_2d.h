// The planar motion of tracked features, from a pure translation to a full homography.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vantor::tracking {

enum HMatrixType : int32_t {
  kTranslation = 1,
  kUniformScale = 2,
  kRotation = 3,
  kRigid = 4,
  kSimilarity = 5,
  kAffine = 6,
  kPerspective = 7,
};

// Per type: how many parameters, and how many correspondences determine it. Unknown types
// throw std::invalid_argument.
class h_matrix_2d_base {
 public:
  explicit h_matrix_2d_base(int32_t type = kTranslation) : type(type) {}
  int32_t parameter_count() const;
  int32_t number_of_minimum_points() const;
  int32_t type;
};

struct Point2d {
  double x = 0, y = 0;
};

// Parameters by type (slot order): 1 tx ty; 2 s; 3 theta; 4 tx ty theta; 5 tx ty theta s;
// 6 tx ty a b c d; 7 h0..h8, a 3x3 matrix in row order. Angles in radians.
class h_matrix_2d : public h_matrix_2d_base {
 public:
  explicit h_matrix_2d(int32_t type = kTranslation) : h_matrix_2d_base(type) {}

  Point2d operator()(Point2d p) const;
  // Type 7 scaled to determinant 1 (a zero determinant leaves it); other types unchanged.
  void normalize();
  bool is_invertible() const;
  // The inverse model, same type. Where the model cannot be inverted (or the type is unknown)
  // the result has the type and zero parameters, never stale values.
  h_matrix_2d inverse() const;
  double determinant() const;  // type 7's matrix

  std::array<double, 9> parameters{};
};

// Maps every point of `in` through the inverse of `model`; false (out untouched) when the model
// is not invertible.
bool transfer_points_through_inverse(const h_matrix_2d& model, const std::vector<Point2d>& in,
                                     std::vector<Point2d>& out);

}  // namespace vantor::tracking
