#include "math/m_matrix.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <type_traits>

#include "math/m_ratio.h"

namespace {

static_assert(std::is_standard_layout_v<M_Matrix3> && offsetof(M_Matrix3, m[2][1]) == 56);

M_Matrix3 Make(std::initializer_list<double> v) {
  M_Matrix3 m;
  double* e = &m.m[0][0];
  for (double d : v) *e++ = d;
  return m;
}

M_Matrix3 Identity() { return Make({1, 0, 0, 0, 1, 0, 0, 0, 1}); }

void ExpectMatrix(const M_Matrix3& m, std::initializer_list<double> want, double tol = 0) {
  const double* e = &m.m[0][0];
  int i = 0;
  for (double w : want) {
    EXPECT_NEAR(e[i], w, tol) << "element " << i;
    ++i;
  }
}

M_Vector2T<double> Apply(const M_Matrix3& m, double x, double y) {
  M_Vector2T<double> p{x, y};
  M_TransformFloatPoints(&m, 1, &p);
  return p;
}

TEST(Matrix, ConcatIsRowVectorOrder) {
  const M_Matrix3 a = Make({1, 2, 3, 4, 5, 6, 7, 8, 10});
  M_Matrix3 b = Make({2, 0, 1, 1, 3, 0, 0, 1, 4});
  EXPECT_EQ(M_ConcatMatrix(&a, &b), M_OK);  // b = b * a
  ExpectMatrix(b, {9, 12, 16, 13, 17, 21, 32, 37, 46});
  M_Matrix3 c = Make({0, 1, 0, 1, 0, 0, 2, 3, 1});  // the result may alias the operand
  M_ConcatMatrix(&c, &c);
  ExpectMatrix(c, {1, 0, 0, 0, 1, 0, 5, 5, 1});
  EXPECT_EQ(M_ConcatMatrix(nullptr, &b), M_ERR_BAD_ARG);

  // Scale, then translate: (1, 1) -> (2, 2) -> (7, 2).
  M_Matrix3 m = Identity();
  M_ScaleMatrix(&m, 2, 2, 0, 0);
  M_TranslateMatrix(&m, 5, 0);
  const auto p = Apply(m, 1, 1);
  EXPECT_TRUE(p.x == 7 && p.y == 2);
  EXPECT_EQ(M_TranslateMatrix(nullptr, 1, 1), M_OK);
}

TEST(Matrix, ScaleAndRotateAboutACentre) {
  M_Matrix3 m = Identity();
  M_ScaleMatrix(&m, 2, 3, 10, 20);
  ExpectMatrix(m, {2, 0, 0, 0, 3, 0, -10, -40, 1});
  M_Matrix3 same = m;
  M_ScaleMatrix(&same, 1, 1, 99, 99);
  ExpectMatrix(same, {2, 0, 0, 0, 3, 0, -10, -40, 1});

  m = Identity();
  EXPECT_EQ(M_RotateMatrix(&m, 90, 10, 0), M_OK);
  ExpectMatrix(m, {0, 1, 0, -1, 0, 0, 10, -10, 1}, 1e-12);
  const auto p = Apply(m, 11, 0);
  EXPECT_TRUE(std::fabs(p.x - 10) < 1e-12 && std::fabs(p.y - 1) < 1e-12);
  m = Identity();
  M_RotateMatrix(&m, -270, 0, 0);  // the same quarter turn
  ExpectMatrix(m, {0, 1, 0, -1, 0, 0, 0, 0, 1}, 1e-12);
  m = Identity();
  M_RotateMatrix(&m, 720, 5, 5);  // whole turns leave the matrix exactly as it was
  EXPECT_TRUE(m.IsIdentity());
  M_RotateMatrix(&m, std::nan(""), 0, 0);
  EXPECT_TRUE(std::isnan(m.m[0][0]));
  EXPECT_EQ(M_RotateMatrix(nullptr, 30, 0, 0), M_OK);
}

TEST(Matrix, TypesAndTransforms) {
  const M_Matrix3 cases[] = {Identity(),
                             Make({1, 0, 0, 0, 1, 0, 3, 0, 1}),
                             Make({2, 0, 0, 0, 1, 0, 0, 0, 1}),
                             Make({2, 0, 0, 0, 1, 0, 0, 4, 1}),
                             Make({1, 0, 0, 0.5, 1, 0, 0, 0, 1}),
                             Make({1, 0, 0, 0, 1, 0, 0, 0, 2}),
                             Make({1, 0, 0, 0, 1, std::nan(""), 0, 0, 1})};
  const int32_t types[] = {0, 1, 2, 3, 4, 5, 5};
  for (int i = 0; i < 7; ++i) {
    int32_t type = -1;
    EXPECT_EQ(M_GetMatrixType(&cases[i], &type), M_OK);
    EXPECT_EQ(type, types[i]) << i;
  }
  EXPECT_EQ(M_GetMatrixType(&cases[0], nullptr), M_ERR_BAD_ARG);

  // Points ignore the perspective column; vectors use it.
  const M_Matrix3 persp = Make({2, 0, 1, 0, 3, 0, 5, 6, 1});
  M_Vector2T<double> pts[2] = {{1, 1}, {-1, 2}};
  EXPECT_EQ(M_TransformFloatPoints(&persp, 2, pts), M_OK);
  EXPECT_TRUE(pts[0].x == 7 && pts[0].y == 9 && pts[1].x == 3 && pts[1].y == 12);
  EXPECT_EQ(M_TransformFloatPoints(&persp, 1, nullptr), M_ERR_BAD_ARG);
  M_Vector3T<double> v{1, 1, 2};
  EXPECT_EQ(M_TransformVector3(&persp, 1, &v), M_OK);
  EXPECT_TRUE(v.x == 12 && v.y == 15 && v.z == 3);

  M_Matrix3 rot = Identity();
  M_RotateMatrix(&rot, 90, 0, 0);
  M_FloatRect rect{0, 0, 2, 1};
  M_Vector2T<double> corners[4];
  bool rotated = false;
  EXPECT_EQ(M_TransformFloatRect(&rot, &rect, corners, &rotated), M_OK);
  auto near = [](double a, double b) { return std::fabs(a - b) < 1e-12; };
  EXPECT_TRUE(rotated && near(rect.left, -1) && near(rect.top, 0) && near(rect.right, 0) && near(rect.bottom, 2));
  EXPECT_TRUE(near(corners[2].x, -1) && near(corners[2].y, 2));  // (right, bottom) = (2, 1)
  const M_Matrix3 shift = Make({1, 0, 0, 0, -1, 0, 3, 0, 1});
  rect = {0, 0, 2, 1};
  M_TransformFloatRect(&shift, &rect, nullptr, &rotated);
  EXPECT_TRUE(!rotated && rect.left == 3 && rect.top == -1 && rect.right == 5 && rect.bottom == 0);
  const M_Matrix3 bad = Make({1, 0, 0, 0, std::nan(""), 0, 0, 0, 1});
  rect = {0, 0, 2, 1};
  M_TransformFloatRect(&bad, &rect, nullptr, nullptr);
  EXPECT_TRUE(rect.left == 0 && rect.right == 2 && std::isnan(rect.top) && std::isnan(rect.bottom));
  EXPECT_EQ(M_TransformFloatRect(&bad, nullptr, nullptr, nullptr), M_ERR_BAD_ARG);
}

TEST(Matrix3, Methods) {
  M_Matrix3 a = Make({1, 2, 3, 4, 5, 6, 7, 8, 10});
  EXPECT_DOUBLE_EQ(a.Determinant(), -3);
  M_Matrix3 b;
  b = a;
  ExpectMatrix(b, {1, 2, 3, 4, 5, 6, 7, 8, 10});
  M_Matrix3 c = Make({2, 0, 1, 1, 3, 0, 0, 1, 4});
  c *= a;  // c = c * a
  ExpectMatrix(c, {9, 12, 16, 13, 17, 21, 32, 37, 46});

  b.SetIdentity();
  EXPECT_TRUE(b.IsIdentity());
  b.m[1][0] = -0.0;  // equal to 0
  EXPECT_TRUE(b.IsIdentity());
  b.m[2][1] = 1e-300;
  EXPECT_FALSE(b.IsIdentity());
  b.m[2][1] = std::nan("");
  EXPECT_FALSE(b.IsIdentity());
  b.SetIdentity();
  b.Scale(2, 3);
  ExpectMatrix(b, {2, 0, 0, 0, 3, 0, 0, 0, 1});

  // w = 0.5x + 1: divided normally, left alone when |w| < 1e-12.
  const M_Matrix3 p = Make({1, 0, 0.5, 0, 1, 0, 2, 0, 1});
  M_Vector2T<double> pt{2, 4};
  p.TransformPointAndDivide(&pt);
  EXPECT_TRUE(pt.x == 2 && pt.y == 2);
  const M_Matrix3 flat = Make({1, 0, 0, 0, 1, 0, 2, 0, 1e-13});
  pt = {3, 4};
  flat.TransformPointAndDivide(&pt);
  EXPECT_TRUE(pt.x == 3 && pt.y == 4);
  M_Vector3T<double> v{2, 4, 2};  // w = 1 + 2 = 3
  p.TransformPointAndDivide(&v);
  EXPECT_TRUE(v.x == 2 && v.y == 4.0 / 3 && v.z == 1);
  v = {3, 4, 5};
  flat.TransformPointAndDivide(&v);
  EXPECT_TRUE(v.x == 3 && v.y == 4 && v.z == 5);
  M_Vector2T<double> pts[2] = {{2, 4}, {0, 1}};
  p.TransformPointsAndDivide(-1, pts);
  EXPECT_EQ(pts[0].x, 2);
  p.TransformPointsAndDivide(2, pts);
  EXPECT_TRUE(pts[0].y == 2 && pts[1].x == 2 && pts[1].y == 1);
  p.TransformPointAndDivide(static_cast<M_Vector2T<double>*>(nullptr));
}

TEST(MathExports, CallableThroughTheModule) {
  const char* path = std::getenv("MASK_MODULE");
  ASSERT_NE(path, nullptr);
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto add = reinterpret_cast<decltype(&M_AddRatio)>(dlsym(lib, "M_AddRatio"));
  auto concat = reinterpret_cast<decltype(&M_ConcatMatrix)>(dlsym(lib, "M_ConcatMatrix"));
  auto det = dlsym(lib, "_ZNK9M_Matrix311DeterminantEv");
  ASSERT_TRUE(add != nullptr && concat != nullptr && det != nullptr);
  const M_Ratio a{1, 2}, b{1, 3};
  M_Ratio r{};
  EXPECT_EQ(add(&a, &b, &r, nullptr), M_OK);
  EXPECT_TRUE(r.num == 5 && r.den == 6);
  const M_Matrix3 t = Make({1, 0, 0, 0, 1, 0, 4, 5, 1});
  M_Matrix3 s = Make({2, 0, 0, 0, 2, 0, 0, 0, 1});
  EXPECT_EQ(concat(&t, &s), M_OK);
  ExpectMatrix(s, {2, 0, 0, 0, 2, 0, 4, 5, 1});
  dlclose(lib);
}

}  // namespace
