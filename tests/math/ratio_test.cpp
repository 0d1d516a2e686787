#include "math/m_ratio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using i128 = __int128;
constexpr i128 kP = INT32_MAX, kN = i128{1} << 30;  // approximation bounds

bool Same(M_Ratio r, int32_t num, uint32_t den) { return r.num == num && r.den == den; }

TEST(RatioScalars, RoundingRemaindersGcdAndPredicates) {
  const double nan = std::nan("");
  for (auto [x, want] : {std::pair{2.5, 3},
                         {-2.5, -3},
                         {-2.4, -2},
                         {-0.5, 0},
                         {-0.6, -1},
                         {nan, 0},
                         {1e300, INT32_MAX},
                         {-1e300, INT32_MIN},
                         {-2147483648.4, INT32_MIN}})
    EXPECT_EQ(M_RoundDouble(x), want) << x;
  EXPECT_TRUE(M_fmod(-7, 3) == -1 && M_fmod(7, -3) == 1 && M_fmod(-7, -3) == -1);
  EXPECT_EQ(M_fmod(5, 0), 0);
  EXPECT_TRUE(std::isnan(M_fmod(nan, 3)) && std::isnan(M_fmod(INFINITY, 3)));

  uint32_t g = 0, g2 = 0, g3 = 0;
  EXPECT_EQ(M_UnsignedGCD(12, 0, &g), M_OK);
  M_UnsignedGCD(12, 18, &g2);
  M_UnsignedGCD(0, 18, &g3);
  EXPECT_TRUE(g == 1 && g2 == 6 && g3 == 18);
  EXPECT_EQ(M_UnsignedGCD(1, 2, nullptr), M_ERR_BAD_ARG);
  for (int bit = 0; bit < 32; ++bit) EXPECT_EQ(M_LeadingZeros((1u << bit) | 1u), 31 - bit);
  EXPECT_EQ(M_LeadingZeros(0), 32);

  EXPECT_TRUE(M_AddWouldOverflow(INT32_MAX, 1) && M_AddWouldOverflow(INT32_MIN, -1));
  EXPECT_FALSE(M_AddWouldOverflow(INT32_MIN, INT32_MAX));
  EXPECT_TRUE(M_MulWouldOverflow(INT32_MIN, 1));    // |INT32_MIN| has 32 bits
  EXPECT_TRUE(M_MulWouldOverflow(-32768, 65535));   // 16 + 16 bits, though the product fits
  EXPECT_FALSE(M_MulWouldOverflow(-32767, 65535));  // 15 + 16 bits
  EXPECT_FALSE(M_MulWouldOverflow(0, INT32_MIN));
  EXPECT_TRUE(M_UMulWouldOverflow(65536, 65535) && !M_UMulWouldOverflow(65535, 65535));
}

TEST(RatioArithmetic, DocumentedCasesExtremesAndFlagProtocol) {
  M_Ratio r{9, 9};
  const M_Ratio half{1, 2}, third{1, 3}, bad{1, 0};
  EXPECT_EQ(M_AddRatio(&half, &third, &r, nullptr), M_OK);
  EXPECT_TRUE(Same(r, 5, 6));
  M_SubRatio(&third, &half, &r, nullptr);
  EXPECT_TRUE(Same(r, -1, 6));
  EXPECT_EQ(M_AddRatio(&bad, &half, &r, nullptr), M_ERR_ZERO_DEN);
  EXPECT_TRUE(Same(r, 0, 0));
  EXPECT_EQ(M_SubRatio(&half, &bad, &r, nullptr), M_ERR_ZERO_DEN);
  EXPECT_EQ(M_MulRatio(&half, &bad, &r, nullptr), M_ERR_BAD_ARG);
  EXPECT_EQ(M_AddRatio(nullptr, &half, &r, nullptr), M_ERR_BAD_ARG);
  EXPECT_EQ(M_MulRatio(&half, &half, nullptr, nullptr), M_ERR_BAD_ARG);
  M_Ratio a{3, 4};  // the result may alias the operands
  M_AddRatio(&a, &a, &a, nullptr);
  EXPECT_TRUE(Same(a, 6, 4));

  // -INT32_MIN: unresolvable over 1, reduced away over 2; INT32_MIN * -1 overflows.
  const M_Ratio zero{0, 7}, min1{INT32_MIN, 1}, min2{INT32_MIN, 2}, minus1{-1, 1};
  uint8_t flag = M_FLAG_APPROX_OK;
  EXPECT_EQ(M_SubRatio(&zero, &min1, &r, &flag), M_OK);
  EXPECT_TRUE(flag == M_FLAG_OVERFLOW && Same(r, 0, 0));
  M_SubRatio(&zero, &min2, &r, nullptr);
  EXPECT_TRUE(Same(r, 1 << 30, 1));
  EXPECT_EQ(M_MulRatio(&min1, &minus1, &r, nullptr), M_ERR_OVERFLOW);

  // One overflowing sum whose approximation is exact, (2^31-1)/2 + 1/2, under each flag form.
  const M_Ratio maxHalf{INT32_MAX, 2}, max1{INT32_MAX, 1};
  EXPECT_EQ(M_AddRatio(&maxHalf, &half, &r, nullptr), M_ERR_OVERFLOW);
  flag = 0xFD;  // every bit but "approximation acceptable"
  EXPECT_EQ(M_AddRatio(&maxHalf, &half, &r, &flag), M_OK);
  EXPECT_EQ(flag, M_FLAG_OVERFLOW);
  flag = M_FLAG_APPROX_OK;
  M_AddRatio(&maxHalf, &half, &r, &flag);
  EXPECT_TRUE(flag == M_FLAG_APPROXIMATED && Same(r, 1 << 30, 1));
  r = {};
  EXPECT_EQ(M_AddRatio(&maxHalf, &half, &r, M_ApproxSilently()), M_OK);
  EXPECT_TRUE(Same(r, 1 << 30, 1));
  EXPECT_EQ(M_AddRatio(&max1, &max1, &r, M_ApproxSilently()), M_ERR_OVERFLOW);
  EXPECT_TRUE(Same(r, 0, 0));

  // Cross-reduction keeps 5/(2^32-1) * 3/5 exact.
  const M_Ratio tiny{5, UINT32_MAX}, threeFifths{3, 5};
  EXPECT_EQ(M_MulRatio(&tiny, &threeFifths, &r, nullptr), M_OK);
  EXPECT_TRUE(Same(r, 1, UINT32_MAX / 3));
}

int32_t Call(char op, const M_Ratio& a, const M_Ratio& b, M_Ratio& r, uint8_t* flag) {
  return op == '+'   ? M_AddRatio(&a, &b, &r, flag)
         : op == '-' ? M_SubRatio(&a, &b, &r, flag)
                     : M_MulRatio(&a, &b, &r, flag);
}

// Each result is exact (flag 0), an overflow reported as the flag form asks, or an
// approximation within the bound below.
void CheckAgainstExact(char op, M_Ratio a, M_Ratio b) {
  SCOPED_TRACE(testing::Message() << a.num << "/" << a.den << op << b.num << "/" << b.den);
  const i128 d = i128{a.den} * b.den;
  const i128 n = op == '*' ? i128{a.num} * b.num : i128{a.num} * b.den + (op == '+' ? 1 : -1) * i128{b.num} * a.den;
  const double x = double(n) / double(d), da = a.num / double(a.den), db = b.num / double(b.den);

  M_Ratio strict{7, 7}, plain{7, 7}, approx{7, 7}, silent{7, 7};
  uint8_t f1 = 0, f2 = M_FLAG_APPROX_OK;
  ASSERT_EQ(Call(op, a, b, strict, &f1), M_OK);
  const int32_t plainCode = Call(op, a, b, plain, nullptr);
  ASSERT_EQ(Call(op, a, b, approx, &f2), M_OK);
  const int32_t silentCode = Call(op, a, b, silent, M_ApproxSilently());
  if (f1 == M_FLAG_EXACT) {
    EXPECT_TRUE(strict.den != 0 && i128{strict.num} * d == n * strict.den);
    EXPECT_TRUE(plainCode == M_OK && silentCode == M_OK && f2 == M_FLAG_EXACT);
    for (M_Ratio o : {plain, approx, silent}) EXPECT_TRUE(Same(o, strict.num, strict.den));
    return;
  }
  ASSERT_EQ(f1, M_FLAG_OVERFLOW);
  auto big = [](M_Ratio v) { return v.num <= -1024 || v.num >= 1024 || v.den >= 1024; };
  EXPECT_TRUE(big(a) || big(b)) << "small operands never overflow";
  EXPECT_TRUE(Same(strict, 0, 0) && Same(plain, 0, 0) && plainCode == M_ERR_OVERFLOW);
  ASSERT_NE(f2, M_FLAG_EXACT);
  if (f2 == M_FLAG_OVERFLOW) {  // only values at or beyond 2^31 cannot be approximated
    EXPECT_GE(std::fabs(x), 2147483648.0 * (1 - 0x1p-40));
    EXPECT_TRUE(Same(approx, 0, 0) && Same(silent, 0, 0) && silentCode == M_ERR_OVERFLOW);
    return;
  }
  // Error < 2^-30 from the denominator bound and < |x|/2^31 from the numerator bound (both
  // with a factor-2 margin), plus the operands' rounding to double before they are combined.
  const double tol = 0x1p-29 + std::fabs(x) * 0x1p-29 + (std::fabs(da) + std::fabs(db)) * 0x1p-50;
  EXPECT_TRUE(f2 == M_FLAG_APPROXIMATED && approx.den > 0 && approx.den <= kN);
  EXPECT_NEAR(approx.num / double(approx.den), x, tol);
  EXPECT_TRUE(Same(silent, approx.num, approx.den) && silentCode == M_OK);
}

TEST(RatioArithmetic, RandomPairsAgainstExactArithmetic) {
  std::mt19937_64 rng(12345);
  const int32_t nums[] = {0, 1, -1, INT32_MAX, INT32_MIN, 1 << 30, -(1 << 16)};
  const uint32_t dens[] = {1, 2, 3, UINT32_MAX, 1u << 31, 65536, 65537};
  // Small, special, medium and full-range values in equal shares.
  auto num = [&]() -> int32_t {
    switch (rng() % 4) {
      case 0: return static_cast<int32_t>(rng() % 2047) - 1023;
      case 1: return nums[rng() % 7];
      case 2: return static_cast<int32_t>(rng() % 262143) - 131071;
      default: return static_cast<int32_t>(static_cast<uint32_t>(rng()));
    }
  };
  auto den = [&]() -> uint32_t {
    switch (rng() % 4) {
      case 0: return 1 + rng() % 1023;
      case 1: return dens[rng() % 7];
      case 2: return 1 + rng() % 131071;
      default: return std::max(1u, static_cast<uint32_t>(rng()));
    }
  };
  auto ratio = [&] { return M_Ratio{num(), den()}; };
  for (int i = 0; i < 3000 && !HasFatalFailure(); ++i) {
    const M_Ratio a = ratio(), b = ratio();
    for (char op : {'+', '-', '*'}) CheckAgainstExact(op, a, b);
  }
}

TEST(RatioConversion, ReduceAndConvert) {
  M_Ratio r{};
  uint8_t reduced = 9, exact = 9, overflow = 9;
  const M_Ratio sixFourths{-6, 4}, lowest{INT32_MIN, 1u << 31}, zeroFive{0, 5}, noDen{7, 0};
  M_ReduceRatio(&sixFourths, &r, &reduced);
  EXPECT_TRUE(Same(r, -3, 2) && reduced == 1);
  M_ReduceRatio(&r, &r, &reduced);
  EXPECT_TRUE(Same(r, -3, 2) && reduced == 0);
  M_ReduceRatio(&lowest, &r, nullptr);
  EXPECT_TRUE(Same(r, -1, 1));
  M_ReduceRatio(&zeroFive, &r, nullptr);
  EXPECT_TRUE(Same(r, 0, 1));
  EXPECT_EQ(M_ReduceRatio(&noDen, &r, &reduced), M_OK);  // copied, nothing divided
  EXPECT_TRUE(Same(r, 7, 0) && reduced == 0);
  EXPECT_EQ(M_ReduceRatio(nullptr, &r, nullptr), M_OK);

  const M_Ratio third{1, 3}, quarter{-1, 4}, big{INT32_MAX, 1}, minQuarter{INT32_MIN, 4};
  EXPECT_EQ(M_ConvRatio(&third, 6, &r, &exact, &overflow), M_OK);
  EXPECT_TRUE(Same(r, 2, 6) && exact == 1 && overflow == 0);
  M_ConvRatio(&third, 10, &r, &exact, &overflow);
  EXPECT_TRUE(Same(r, 3, 10) && exact == 0);
  M_ConvRatio(&quarter, 2, &r, &exact, nullptr);  // -0.5 gives 0, as M_RoundDouble(-0.5)
  EXPECT_TRUE(Same(r, 0, 2) && exact == 0);
  M_ConvRatio(&minQuarter, 2, &r, &exact, nullptr);
  EXPECT_TRUE(Same(r, -(1 << 30), 2) && exact == 1);
  EXPECT_EQ(M_ConvRatio(&big, 2, &r, &exact, &overflow), M_OK);
  EXPECT_TRUE(Same(r, 0, 0) && overflow == 1 && exact == 0);
  EXPECT_EQ(M_ConvRatio(&big, 2, &r, nullptr, nullptr), M_ERR_BAD_ARG);
  EXPECT_EQ(M_ConvRatio(&noDen, 2, &r, nullptr, nullptr), M_ERR_ZERO_DEN);
  EXPECT_EQ(M_ConvRatio(&third, 0, &r, nullptr, nullptr), M_ERR_ZERO_DEN);
  EXPECT_TRUE(Same(r, 0, 0));

  int32_t n = 9;
  EXPECT_EQ(M_ShortConvRatio(-5, 4, 2, &n, &overflow), M_OK);  // -2.5
  EXPECT_TRUE(n == -3 && overflow == 0);
  EXPECT_EQ(M_ShortConvRatio(INT32_MIN, 1, UINT32_MAX, &n, &overflow), M_OK);
  EXPECT_TRUE(n == 0 && overflow == 1);
  EXPECT_EQ(M_ShortConvRatio(INT32_MIN, 1, 2, &n, nullptr), M_ERR_BAD_ARG);
  M_ShortConvRatio(INT32_MIN, 2, 1, &n, nullptr);
  EXPECT_EQ(n, -(1 << 30));
  EXPECT_EQ(M_ShortConvRatio(1, 0, 1, &n, nullptr), M_ERR_ZERO_DEN);
  EXPECT_EQ(M_ShortConvRatio(1, 1, 1, nullptr, nullptr), M_ERR_BAD_ARG);
}

// Both conversions round as M_RoundDouble does: halves away from zero, except -1/2, which
// gives 0. Every value here is a half or at least 1/24 from one, so the double below decides
// the same way as the exact quotient.
TEST(RatioConversion, ConversionsRoundLikeRoundDouble) {
  M_Ratio r{};
  uint8_t exact = 9;
  const M_Ratio minusHalf{-1, 2};
  EXPECT_EQ(M_ConvRatio(&minusHalf, 1, &r, &exact, nullptr), M_OK);
  EXPECT_TRUE(Same(r, 0, 1) && exact == 0);
  for (int32_t n = -40; n <= 40; ++n)
    for (uint32_t d0 = 1; d0 <= 12; ++d0)
      for (uint32_t d1 = 1; d1 <= 12; ++d1) {
        const int32_t want = M_RoundDouble(double(n) * d1 / d0);
        const M_Ratio a{n, d0};
        int32_t n1 = 9;
        ASSERT_EQ(M_ConvRatio(&a, d1, &r, nullptr, nullptr), M_OK);
        ASSERT_EQ(M_ShortConvRatio(n, d0, d1, &n1, nullptr), M_OK);
        ASSERT_TRUE(Same(r, want, d1) && n1 == want) << n << "/" << d0 << " to " << d1;
      }

  // The range is checked on the exact value: 2147483647.25 and -2147483648.25 overflow, though
  // they would round into range; 1073741823.5 does not.
  uint8_t overflow = 9;
  int32_t n1 = 9;
  EXPECT_EQ(M_ShortConvRatio(2147483646, 1717986917, 1717986918, &n1, &overflow), M_OK);
  EXPECT_TRUE(n1 == 0 && overflow == 1);
  EXPECT_EQ(M_ShortConvRatio(-2147483647, 1717986917, 1717986918, &n1, nullptr), M_ERR_BAD_ARG);
  EXPECT_EQ(M_ShortConvRatio(INT32_MAX, 2, 1, &n1, &overflow), M_OK);
  EXPECT_TRUE(n1 == 1 << 30 && overflow == 0);
}

TEST(RatioScalars, RoundDoubleDecidesExactlyNearHalves) {
  EXPECT_EQ(M_RoundDouble(0.49999999999999994), 0);  // x + 0.5 rounds to 1.0 in double
  EXPECT_EQ(M_RoundDouble(-0.49999999999999994), 0);
  EXPECT_EQ(M_RoundDouble(-1.5), -2);
  EXPECT_EQ(M_RoundDouble(1.5), 2);
  EXPECT_EQ(M_RoundDouble(-0.5000000000000001), -1);
}

// True when p/q is at least as close to u/v (> 0) as every a/b with a <= kP, b <= kN. No such
// fraction lies between p/q and its admissible neighbour of determinant 1 on x's side, so
// comparing with that neighbour suffices.
bool IsBest(i128 u, i128 v, i128 p, i128 q) {
  const i128 side = u * q - p * v;
  if (side == 0) return true;
  int64_t r0 = 0, r1 = 1, a = q, b = p % q;  // extended Euclid: r0 = p^-1 mod q
  while (b != 0) {
    const int64_t t = a / b, r = a - t * b, s = r0 - t * r1;
    a = b, b = r, r0 = r1, r1 = s;
  }
  const int64_t inv = (r0 % q + q) % q;
  int64_t qb = side > 0 ? (q - inv) % q : inv;
  if (qb == 0) qb = q;
  const i128 pb = side > 0 ? (1 + p * qb) / q : (p * qb - 1) / q;
  const i128 t = std::min((kN - qb) / q, p > 0 ? (kP - pb) / p : kN);
  if (t < 0) return true;  // p/q is the admissible extreme on that side
  const i128 pn = pb + t * p, qn = qb + t * q;
  const i128 far = side > 0 ? pn * v - u * qn : u * qn - pn * v;
  return far >= 0 && (side > 0 ? side : -side) * qn <= far * q;
}

TEST(RatioConversion, FpLong2RatioBoundsAndBestApproximation) {
  M_Ratio r{};
  uint8_t overflow = 9;
  EXPECT_EQ(M_FpLong2Ratio(0.0, &r, &overflow), M_OK);
  EXPECT_TRUE(Same(r, 0, 1) && overflow == 0);
  M_FpLong2Ratio(-0.75, &r, nullptr);
  EXPECT_TRUE(Same(r, -3, 4));
  M_FpLong2Ratio(0x1p-33, &r, nullptr);
  EXPECT_TRUE(Same(r, 0, 1));
  M_FpLong2Ratio(2147483647.75, &r, &overflow);  // numerator capped at 2^31-1
  EXPECT_TRUE(Same(r, INT32_MAX, 1) && overflow == 0);
  for (double x : {2147483648.0, -2147483648.0, 1e300, double(INFINITY), std::nan("")}) {
    EXPECT_EQ(M_FpLong2Ratio(x, &r, &overflow), M_OK);
    EXPECT_TRUE(Same(r, 0, 0) && overflow == 1) << x;
  }
  EXPECT_EQ(M_FpLong2Ratio(1.0, nullptr, nullptr), M_ERR_BAD_ARG);

  // Random dyadic x = m / 2^k in [2^-31, 2^31) of every magnitude and mantissa length.
  std::mt19937_64 rng(777);
  for (int i = 0; i < 4000; ++i) {
    const int bits = 1 + rng() % 53, k = rng() % 63;
    if (bits - 1 - k > 30 || bits - 1 - k < -31) continue;
    const uint64_t m = (rng() >> (64 - bits)) | (uint64_t{1} << (bits - 1));
    const double x = std::ldexp(static_cast<double>(m), -k) * (rng() % 2 ? -1 : 1);
    ASSERT_EQ(M_FpLong2Ratio(x, &r, nullptr), M_OK);
    SCOPED_TRACE(testing::Message() << x << " -> " << r.num << "/" << r.den);
    uint32_t g = 0;
    M_UnsignedGCD(static_cast<uint32_t>(std::abs(r.num)), r.den, &g);
    ASSERT_TRUE(r.den >= 1 && r.den <= kN && r.num != INT32_MIN);
    ASSERT_TRUE(r.num == 0 ? r.den == 1 : g == 1);
    ASSERT_TRUE(r.num == 0 || (r.num < 0) == (x < 0));
    ASSERT_TRUE(IsBest(m, i128{1} << k, std::abs(r.num), r.den));
  }
}

}  // namespace
