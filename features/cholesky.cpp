#include "features/cholesky.h"

#include <cmath>

namespace vantor::tracking {

bool cholesky_factor(float* a, int n) {
  // Non-finite entries would reach LAPACK, which need not notice them.
  for (int k = 0; k < n * n; ++k)
    if (!std::isfinite(a[k])) return false;
  int info = 0;
  spotrf_("L", &n, a, &n, &info);
  return info == 0;
}

bool cholesky_solve(const float* factor, int n, float* b) {
  const int one = 1;
  int info = 0;
  spotrs_("L", &n, &one, factor, &n, b, &n, &info);
  return info == 0;
}

}  // namespace vantor::tracking
