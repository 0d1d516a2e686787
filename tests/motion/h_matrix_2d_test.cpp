#include "motion/h_matrix_2d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace vantor::tracking {
namespace {

h_matrix_2d Model(int32_t type, std::initializer_list<double> values) {
  h_matrix_2d m(type);
  size_t i = 0;
  for (double v : values) m.parameters[i++] = v;
  return m;
}

class EveryType : public ::testing::TestWithParam<h_matrix_2d> {};

TEST_P(EveryType, MapsAndInvertsBack) {
  const h_matrix_2d& m = GetParam();
  ASSERT_TRUE(m.is_invertible());
  const h_matrix_2d inv = m.inverse();
  EXPECT_EQ(inv.type, m.type);
  for (const Point2d p : {Point2d{0, 0}, Point2d{1, 1}, Point2d{-40, 13.5}, Point2d{640, 360}}) {
    const Point2d q = inv(m(p));
    EXPECT_NEAR(q.x, p.x, 1e-9 * (1 + std::fabs(p.x))) << "type " << m.type;
    EXPECT_NEAR(q.y, p.y, 1e-9 * (1 + std::fabs(p.y))) << "type " << m.type;
  }
  std::vector<Point2d> back;
  ASSERT_TRUE(transfer_points_through_inverse(m, {m(Point2d{3, 4})}, back));
  EXPECT_NEAR(back[0].x, 3, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Models, EveryType,
                         ::testing::Values(Model(1, {3, -2}), Model(2, {1.7}), Model(3, {0.4}), Model(4, {5, -7, -0.3}),
                                           Model(5, {1, 0, M_PI / 2, 2}), Model(6, {4, 5, 1.1, 0.2, -0.1, 0.9}),
                                           Model(7, {1.1, 0.1, 3, -0.05, 0.95, -2, 1e-4, -2e-4, 1})));

TEST(HMatrix2d, HandWorkedMappings) {
  const Point2d t = Model(1, {3, -2})(Point2d{1, 1});
  EXPECT_DOUBLE_EQ(t.x, 4);
  EXPECT_DOUBLE_EQ(t.y, -1);
  const Point2d s = Model(5, {1, 0, M_PI / 2, 2})(Point2d{1, 0});
  EXPECT_NEAR(s.x, 1, 1e-12);
  EXPECT_NEAR(s.y, 2, 1e-12);
}

TEST(HMatrix2d, NormaliseScalesToDeterminantOne) {
  h_matrix_2d positive = Model(7, {2, 0, 0, 0, 2, 0, 0, 0, 2});  // det 8
  positive.normalize();
  EXPECT_DOUBLE_EQ(positive.parameters[0], 1);
  EXPECT_DOUBLE_EQ(positive.determinant(), 1);
  h_matrix_2d negative = Model(7, {-3, 0, 0, 0, -3, 0, 0, 0, -3});  // det -27
  negative.normalize();
  EXPECT_DOUBLE_EQ(negative.parameters[0], 1);
  h_matrix_2d singular = Model(7, {1, 2, 3, 2, 4, 6, 0, 0, 1});
  singular.normalize();
  EXPECT_DOUBLE_EQ(singular.parameters[1], 2);
  h_matrix_2d affine = Model(6, {1, 2, 3, 4, 5, 6});
  affine.normalize();
  EXPECT_DOUBLE_EQ(affine.parameters[5], 6);
}

// A model that cannot be inverted gives an inverse of its type with zero parameters, so a caller
// who ignores the test gets the zero map, not garbage.
TEST(HMatrix2d, DegenerateModelsAreNotInverted) {
  for (const h_matrix_2d& m : {Model(2, {0}), Model(5, {1, 2, 0.3, 0}), Model(6, {1, 1, 1e-9, 0, 0, 1}),
                               Model(7, {1, 2, 3, 2, 4, 6, 1, 1, 1})}) {
    EXPECT_FALSE(m.is_invertible()) << m.type;
    const h_matrix_2d inv = m.inverse();
    EXPECT_EQ(inv.type, m.type);
    for (double v : inv.parameters) EXPECT_EQ(v, 0.0) << m.type;
    std::vector<Point2d> out = {{9, 9}};
    EXPECT_FALSE(transfer_points_through_inverse(m, {{1, 1}}, out));
    EXPECT_EQ(out[0].x, 9);
  }
}

TEST(HMatrix2d, UnknownTypesThrowWithTheirMessages) {
  for (int32_t type : {0, 8, -1}) {
    h_matrix_2d m(type);
    const auto message = [](auto&& f) {
      try {
        f();
      } catch (const std::invalid_argument& e) {
        return std::string(e.what());
      }
      return std::string("no exception");
    };
    EXPECT_EQ(message([&] { m(Point2d{}); }), "h_matrix_2d::operator(): Un-recognized homography type");
    EXPECT_EQ(message([&] { m.normalize(); }), "h_matrix_2d::normalize(): Un-recognized homography type");
    EXPECT_EQ(message([&] { m.parameter_count(); }),
              "h_matrix_2d_base::parameter_count(): Un-recognized homography type");
    EXPECT_EQ(message([&] { m.number_of_minimum_points(); }),
              "h_matrix_2d_base::number_of_minimum_points(): Un-recognized homography type");
    EXPECT_FALSE(m.is_invertible());
    EXPECT_EQ(m.inverse().type, type);
  }
  const int32_t counts[] = {2, 1, 1, 3, 4, 6, 9}, minimum[] = {1, 1, 1, 2, 2, 3, 4};
  for (int32_t t = 1; t <= 7; ++t) {
    EXPECT_EQ(h_matrix_2d(t).parameter_count(), counts[t - 1]);
    EXPECT_EQ(h_matrix_2d(t).number_of_minimum_points(), minimum[t - 1]);
  }
}

}  // namespace
}  // namespace vantor::tracking
