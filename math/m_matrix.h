// Exported 3x3 matrix helpers (C linkage, prefix M_) and the M_Matrix3 class that wraps them.
// Points are row vectors: (x, y, 1) * m, so m20/m21 translate and the third column is the
// perspective part. All comparisons with 0 and 1 are exact; NaN elements flow through the
// arithmetic (a NaN in the perspective column makes the type 5).
#pragma once

#include <cstdint>

#ifndef M_EXPORT
#define M_EXPORT __attribute__((visibility("default")))
#endif

template <typename T>
struct M_Vector2T {
  T x, y;
};

template <typename T>
struct M_Vector3T {
  T x, y, z;
};

// left, top, right, bottom.
struct M_FloatRect {
  double left, top, right, bottom;
};

// Nine doubles, row-major: m[i][j] is m_ij. Nothing else, so it matches the C record.
class M_Matrix3 {
 public:
  M_Matrix3() = default;  // uninitialised, like the C record
  M_Matrix3(const M_Matrix3&) = default;

  M_EXPORT M_Matrix3& operator=(const M_Matrix3& other);
  // this = this * other; a failure code is thrown as an int32_t.
  M_EXPORT M_Matrix3& operator*=(const M_Matrix3& other);
  M_EXPORT double Determinant() const;
  M_EXPORT bool IsIdentity() const;
  // Scales about the origin; a failure code is thrown as an int32_t.
  M_EXPORT void Scale(double sx, double sy);
  M_EXPORT void SetIdentity();
  // Projective transform; a point whose w lies within (-1e-12, 1e-12) is left unchanged. The
  // three-component form sets z to 1. Null pointers and count < 1 do nothing.
  M_EXPORT void TransformPointAndDivide(M_Vector2T<double>* p) const;
  M_EXPORT void TransformPointAndDivide(M_Vector3T<double>* p) const;
  M_EXPORT void TransformPointsAndDivide(int32_t count, M_Vector2T<double>* points) const;

  double m[3][3];
};

static_assert(sizeof(M_Matrix3) == 72);

extern "C" {

// Building a transform into m (m = m * X) ignores a null m and returns M_OK (0).
M_EXPORT int32_t M_SetIdentityMatrix(M_Matrix3* m);
M_EXPORT int32_t M_TranslateMatrix(M_Matrix3* m, double tx, double ty);
// Scales about (cx, cy); sx = sy = 1 does nothing.
M_EXPORT int32_t M_ScaleMatrix(M_Matrix3* m, double sx, double sy, double cx, double cy);
// Rotates by degrees (reduced with M_fmod) about (cx, cy); a multiple of 360 does nothing.
M_EXPORT int32_t M_RotateMatrix(M_Matrix3* m, double degrees, double cx, double cy);

// The rest return 123 for a null required pointer. a and b may be the same matrix.
// b = b * a.
M_EXPORT int32_t M_ConcatMatrix(const M_Matrix3* a, M_Matrix3* b);
// 0 identity, 1 translation, 2 scale, 3 scale and translation, 4 rotation or skew,
// 5 perspective.
M_EXPORT int32_t M_GetMatrixType(const M_Matrix3* m, int32_t* type);
// Affine transform in place (no division); count < 1 does nothing.
M_EXPORT int32_t M_TransformFloatPoints(const M_Matrix3* m, int32_t count, M_Vector2T<double>* points);
// Transforms the corners (left,top), (right,top), (right,bottom), (left,bottom) affinely,
// writes them to corners[4] when given, and makes rect their bounding box (NaN when any
// corner coordinate is NaN). *rotated, when given, is true for matrix types 4 and 5.
M_EXPORT int32_t M_TransformFloatRect(const M_Matrix3* m, M_FloatRect* rect, M_Vector2T<double>* corners,
                                      bool* rotated);
// (x, y, z) = (x, y, z) * m in place; count < 1 does nothing.
M_EXPORT int32_t M_TransformVector3(const M_Matrix3* m, int32_t count, M_Vector3T<double>* vectors);

}  // extern "C"
