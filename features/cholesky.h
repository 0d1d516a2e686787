// Single-precision Cholesky factorisation and solve of the solvers' normal equations, over
// LAPACK's spotrf_/spotrs_.
#pragma once

// Single-precision Cholesky factorisation and solve (Fortran LAPACK).
extern "C" void spotrf_(const char* uplo, const int* n, float* a, const int* lda, int* info);
extern "C" void spotrs_(const char* uplo, const int* n, const int* nrhs, const float* a, const int* lda, float* b,
                        const int* ldb, int* info);

namespace vantor::tracking {

// Factors an n x n symmetric matrix in place (lower triangle, column-major) and solves with the
// factor. The factorisation fails when LAPACK finds a pivot that is not positive, or when an
// entry is not finite.
bool cholesky_factor(float* a, int n);
bool cholesky_solve(const float* factor, int n, float* b);

}  // namespace vantor::tracking
