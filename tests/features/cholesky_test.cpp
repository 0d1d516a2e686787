#include "features/cholesky.h"

#include <gtest/gtest.h>

#include <limits>

namespace vantor::tracking {
namespace {

// A regular matrix factors and solves, and so does a nearly dependent but positive definite
// one; a singular one and one with a NaN do not.
TEST(Cholesky, FactorsOnlyPositiveDefiniteFiniteMatrices) {
  float near_dependent[4] = {4, 2, 2, 1.0000005f};
  EXPECT_TRUE(cholesky_factor(near_dependent, 2));
  float regular[9] = {4, 2, 0, 2, 5, 1, 0, 1, 3};
  ASSERT_TRUE(cholesky_factor(regular, 3));
  float c[3] = {6, 8, 4};  // times (1, 1, 1)
  ASSERT_TRUE(cholesky_solve(regular, 3, c));
  for (const float v : c) EXPECT_NEAR(v, 1.0f, 1e-5f);
  float singular[4] = {4, 2, 2, 1};
  EXPECT_FALSE(cholesky_factor(singular, 2));
  float broken[4] = {4, 2, 2, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_FALSE(cholesky_factor(broken, 2));
}

}  // namespace
}  // namespace vantor::tracking
