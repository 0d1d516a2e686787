#include "math/m_matrix.h"

#include <cmath>
#include <type_traits>

#include "math/m_ratio.h"

static_assert(std::is_standard_layout_v<M_Matrix3>);

// Helpers are static and avoid std:: templates so that nothing but the M_ symbols is exported.
namespace {

constexpr double kPi = 3.14159265358979323846;

void Multiply(const M_Matrix3& a, const M_Matrix3& b, M_Matrix3& out) {
  M_Matrix3 t;  // a or b may be out
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
  out = t;
}

void SetIdentity(M_Matrix3& m) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m.m[i][j] = i == j ? 1.0 : 0.0;
}

// m = m * X for an affine X given by its linear part and translation.
void PostMultiply(M_Matrix3& m, double x00, double x01, double x10, double x11, double x20, double x21) {
  M_Matrix3 x;
  x.m[0][0] = x00, x.m[0][1] = x01, x.m[0][2] = 0;
  x.m[1][0] = x10, x.m[1][1] = x11, x.m[1][2] = 0;
  x.m[2][0] = x20, x.m[2][1] = x21, x.m[2][2] = 1;
  Multiply(m, x, m);
}

void Affine(const M_Matrix3& m, double x, double y, double& ox, double& oy) {
  ox = x * m.m[0][0] + y * m.m[1][0] + m.m[2][0];
  oy = x * m.m[0][1] + y * m.m[1][1] + m.m[2][1];
}

// Extremes that let a NaN win, so a NaN corner cannot be silently dropped.
double Lowest(const double* v, int n) {
  double r = v[0];
  for (int i = 0; i < n; ++i) {
    if (__builtin_isnan(v[i])) return v[i];
    if (v[i] < r) r = v[i];
  }
  return r;
}

double Highest(const double* v, int n) {
  double r = v[0];
  for (int i = 0; i < n; ++i) {
    if (__builtin_isnan(v[i])) return v[i];
    if (v[i] > r) r = v[i];
  }
  return r;
}

int32_t TypeOf(const M_Matrix3& m) {
  if (m.m[0][2] != 0 || m.m[1][2] != 0 || m.m[2][2] != 1) return 5;
  if (m.m[0][1] != 0 || m.m[1][0] != 0) return 4;
  const bool scale = m.m[0][0] != 1 || m.m[1][1] != 1;
  const bool translate = m.m[2][0] != 0 || m.m[2][1] != 0;
  return (scale ? 2 : 0) + (translate ? 1 : 0);
}

void ThrowIfFailed(int32_t code) {
  if (code != M_OK) throw code;
}

}  // namespace

extern "C" {

int32_t M_SetIdentityMatrix(M_Matrix3* m) {
  if (m != nullptr) SetIdentity(*m);
  return M_OK;
}

int32_t M_ConcatMatrix(const M_Matrix3* a, M_Matrix3* b) {
  if (a == nullptr || b == nullptr) return M_ERR_BAD_ARG;
  Multiply(*b, *a, *b);
  return M_OK;
}

int32_t M_TranslateMatrix(M_Matrix3* m, double tx, double ty) {
  if (m != nullptr) PostMultiply(*m, 1, 0, 0, 1, tx, ty);
  return M_OK;
}

int32_t M_ScaleMatrix(M_Matrix3* m, double sx, double sy, double cx, double cy) {
  if (m == nullptr || (sx == 1 && sy == 1)) return M_OK;
  PostMultiply(*m, sx, 0, 0, sy, (1 - sx) * cx, (1 - sy) * cy);
  return M_OK;
}

int32_t M_RotateMatrix(M_Matrix3* m, double degrees, double cx, double cy) {
  if (m == nullptr) return M_OK;
  const double a = M_fmod(degrees, 360);
  if (a == 0) return M_OK;
  const double c = std::cos(a * kPi / 180), s = std::sin(a * kPi / 180);
  PostMultiply(*m, c, s, -s, c, (1 - c) * cx + s * cy, (1 - c) * cy - s * cx);
  return M_OK;
}

int32_t M_GetMatrixType(const M_Matrix3* m, int32_t* type) {
  if (m == nullptr || type == nullptr) return M_ERR_BAD_ARG;
  *type = TypeOf(*m);
  return M_OK;
}

int32_t M_TransformFloatPoints(const M_Matrix3* m, int32_t count, M_Vector2T<double>* points) {
  if (m == nullptr || points == nullptr) return M_ERR_BAD_ARG;
  for (int32_t i = 0; i < count; ++i) Affine(*m, points[i].x, points[i].y, points[i].x, points[i].y);
  return M_OK;
}

int32_t M_TransformFloatRect(const M_Matrix3* m, M_FloatRect* rect, M_Vector2T<double>* corners, bool* rotated) {
  if (m == nullptr || rect == nullptr) return M_ERR_BAD_ARG;
  const double cx[4] = {rect->left, rect->right, rect->right, rect->left};
  const double cy[4] = {rect->top, rect->top, rect->bottom, rect->bottom};
  double xs[4], ys[4];
  for (int i = 0; i < 4; ++i) Affine(*m, cx[i], cy[i], xs[i], ys[i]);
  if (corners != nullptr)
    for (int i = 0; i < 4; ++i) corners[i] = {xs[i], ys[i]};
  *rect = {Lowest(xs, 4), Lowest(ys, 4), Highest(xs, 4), Highest(ys, 4)};
  if (rotated != nullptr) *rotated = TypeOf(*m) >= 4;
  return M_OK;
}

int32_t M_TransformVector3(const M_Matrix3* m, int32_t count, M_Vector3T<double>* vectors) {
  if (m == nullptr || vectors == nullptr) return M_ERR_BAD_ARG;
  const auto& e = m->m;
  for (int32_t i = 0; i < count; ++i) {
    const double x = vectors[i].x, y = vectors[i].y, z = vectors[i].z;
    vectors[i] = {x * e[0][0] + y * e[1][0] + z * e[2][0], x * e[0][1] + y * e[1][1] + z * e[2][1],
                  x * e[0][2] + y * e[1][2] + z * e[2][2]};
  }
  return M_OK;
}

}  // extern "C"

M_Matrix3& M_Matrix3::operator=(const M_Matrix3& other) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = other.m[i][j];
  return *this;
}

M_Matrix3& M_Matrix3::operator*=(const M_Matrix3& other) {
  ThrowIfFailed(M_ConcatMatrix(&other, this));
  return *this;
}

double M_Matrix3::Determinant() const {
  return m[0][0] * m[1][1] * m[2][2] + m[0][1] * m[1][2] * m[2][0] + m[0][2] * m[1][0] * m[2][1] -
         m[0][2] * m[1][1] * m[2][0] - m[0][1] * m[1][0] * m[2][2] - m[0][0] * m[1][2] * m[2][1];
}

bool M_Matrix3::IsIdentity() const {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (m[i][j] != (i == j ? 1.0 : 0.0)) return false;
  return true;
}

void M_Matrix3::Scale(double sx, double sy) { ThrowIfFailed(M_ScaleMatrix(this, sx, sy, 0, 0)); }

void M_Matrix3::SetIdentity() { ThrowIfFailed(M_SetIdentityMatrix(this)); }

void M_Matrix3::TransformPointAndDivide(M_Vector2T<double>* p) const {
  if (p == nullptr) return;
  const double x = p->x, y = p->y;
  const double w = x * m[0][2] + y * m[1][2] + m[2][2];
  if (w > -1e-12 && w < 1e-12) return;
  p->x = (x * m[0][0] + y * m[1][0] + m[2][0]) / w;
  p->y = (x * m[0][1] + y * m[1][1] + m[2][1]) / w;
}

void M_Matrix3::TransformPointAndDivide(M_Vector3T<double>* p) const {
  if (p == nullptr) return;
  const double x = p->x, y = p->y, z = p->z;
  const double w = x * m[0][2] + y * m[1][2] + z * m[2][2];
  if (w > -1e-12 && w < 1e-12) return;
  p->x = (x * m[0][0] + y * m[1][0] + z * m[2][0]) / w;
  p->y = (x * m[0][1] + y * m[1][1] + z * m[2][1]) / w;
  p->z = 1.0;
}

void M_Matrix3::TransformPointsAndDivide(int32_t count, M_Vector2T<double>* points) const {
  if (points == nullptr) return;
  for (int32_t i = 0; i < count; ++i) TransformPointAndDivide(&points[i]);
}
