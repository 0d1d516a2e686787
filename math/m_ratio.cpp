#include "math/m_ratio.h"

#include <cmath>

// Only the M_ functions leave this file with default visibility: helpers are static and no
// std:: templates are used (they would be exported from Mask.so in unoptimised builds).

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr int64_t kNumMax = 2147483647;        // largest approximated |numerator|
constexpr int64_t kDenMax = int64_t{1} << 30;  // largest approximated denominator

bool IsSilent(const uint8_t* flag) { return flag == M_ApproxSilently(); }

// The flag the caller wants written, or null (the all-ones address reports nothing).
uint8_t* Reportable(uint8_t* flag) { return IsSilent(flag) ? nullptr : flag; }

// |v| without negating INT32_MIN.
uint32_t Magnitude(int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); }

int32_t BitLength(uint32_t v) { return 32 - M_LeadingZeros(v); }

// A zero factor never overflows (bit lengths alone would flag 0 * INT32_MIN).
bool MagnitudesMulOverflow(uint32_t a, uint32_t b) { return a != 0 && b != 0 && BitLength(a) + BitLength(b) > 31; }

uint32_t Gcd(uint32_t a, uint32_t b) {
  uint32_t g = 1;
  M_UnsignedGCD(a, b, &g);
  return g;
}

// n / g for a divisor g of |n|; the magnitude is divided so INT32_MIN is never negated.
int32_t DivideNum(int32_t n, uint32_t g) {
  if (g == 1) return n;
  const uint32_t q = Magnitude(n) / g;  // < 2^31 because g >= 2
  return n < 0 ? -static_cast<int32_t>(q) : static_cast<int32_t>(q);
}

// Divides a by gcd(|num|, den); true when that changed it.
bool ReduceInPlace(M_Ratio& a) {
  if (a.den == 0) return false;
  const uint32_t g = Gcd(Magnitude(a.num), a.den);
  if (g <= 1) return false;
  a.num = DivideNum(a.num, g);
  a.den /= g;
  return true;
}

// Exact signed product of a numerator and an unsigned factor, or false when the predicate
// calls it an overflow.
bool MulNum(int32_t n, uint32_t f, int32_t& out) {
  if (MagnitudesMulOverflow(Magnitude(n), f)) return false;
  out = static_cast<int32_t>(static_cast<int64_t>(n) * f);  // |product| < 2^31 here
  return true;
}

// |p/q - x| * q * d for x = n/d; fits 128 bits for candidates within 1 of x.
u128 ScaledError(u128 n, u128 d, u128 p, u128 q) {
  const u128 lhs = n * q, rhs = p * d;
  return lhs > rhs ? lhs - rhs : rhs - lhs;
}

// Best approximation of n/d (n, d > 0, n/d < 2^31) with numerator <= kNumMax and denominator
// <= kDenMax: continued fractions in exact 128-bit arithmetic. When the next convergent would
// break a bound, the largest admissible semiconvergent competes with the last convergent; both
// bracket x with no admissible fraction between them, so the closer one is the best.
void BestFraction(u128 n, u128 d, int64_t& num, int64_t& den) {
  const u128 n0 = n, d0 = d;
  u128 p0 = 0, q0 = 1, p1 = 1, q1 = 0;  // convergents k-2 and k-1
  bool first = true;
  while (true) {
    const u128 a = n / d;
    const u128 p2 = a * p1 + p0, q2 = a * q1 + q0;
    if (p2 > static_cast<u128>(kNumMax) || q2 > static_cast<u128>(kDenMax)) {
      if (first) {  // cannot happen for x < 2^31; keep the result defined anyway
        num = kNumMax;
        den = 1;
        return;
      }
      u128 t = a;
      if (p1 != 0 && (kNumMax - p0) / p1 < t) t = (kNumMax - p0) / p1;
      if (q1 != 0 && (kDenMax - q0) / q1 < t) t = (kDenMax - q0) / q1;
      const u128 ps = t * p1 + p0, qs = t * q1 + q0;
      // Cross-multiplied comparison of |x - ps/qs| and |x - p1/q1|; ties keep p1/q1.
      if (t > 0 && ScaledError(n0, d0, ps, qs) * q1 < ScaledError(n0, d0, p1, q1) * qs) {
        p1 = ps;
        q1 = qs;
      }
      break;
    }
    p0 = p1;
    q0 = q1;
    p1 = p2;
    q1 = q2;
    first = false;
    const u128 rem = n - a * d;
    if (rem == 0) break;
    n = d;
    d = rem;
  }
  num = static_cast<int64_t>(p1);
  den = static_cast<int64_t>(q1);
}

void Store(M_Ratio* r, int32_t num, uint32_t den) {
  r->num = num;
  r->den = den;
}

// Turns an outcome into the flag, the result and the code shared by add, sub and mul.
int32_t Finish(M_Ratio* r, uint8_t* flag, bool overflowed, bool approximated) {
  if (overflowed) Store(r, 0, 0);
  if (flag == nullptr || IsSilent(flag)) return overflowed ? M_ERR_OVERFLOW : M_OK;
  *flag = overflowed ? M_FLAG_OVERFLOW : approximated ? M_FLAG_APPROXIMATED : M_FLAG_EXACT;
  return M_OK;
}

bool ApproxAllowed(const uint8_t* flag) {
  return flag != nullptr && (IsSilent(flag) || (*flag & M_FLAG_APPROX_OK) != 0);
}

// Writes the approximation of x to r; false when x is out of range.
bool Approximate(double x, M_Ratio* r) {
  uint8_t ovf = 0;
  M_FpLong2Ratio(x, r, &ovf);
  return ovf == 0;
}

// The exact sum or difference of the operands as they stand, or false on an overflow.
bool ExactAddOrSub(const M_Ratio& a, const M_Ratio& b, bool sub, M_Ratio& out) {
  int32_t s;
  if (a.num == 0) {
    // -INT32_MIN is not representable: an overflow for the reduction step to resolve.
    if (sub && b.num == INT32_MIN) return false;
    out = {sub ? -b.num : b.num, b.den};
    return true;
  }
  if (b.num == 0) {
    out = a;
    return true;
  }
  if (a.den == b.den) {
    if (sub ? __builtin_sub_overflow(a.num, b.num, &s) : __builtin_add_overflow(a.num, b.num, &s)) return false;
    out = {s, a.den};
    return true;
  }
  const uint32_t g = Gcd(a.den, b.den);
  const uint32_t fa = b.den / g, fb = a.den / g;
  int32_t x, y;
  if (M_UMulWouldOverflow(fa, a.den) || !MulNum(a.num, fa, x) || !MulNum(b.num, fb, y)) return false;
  if (sub ? __builtin_sub_overflow(x, y, &s) : __builtin_add_overflow(x, y, &s)) return false;
  out = {s, fa * a.den};
  return true;
}

int32_t AddOrSub(const M_Ratio* pa, const M_Ratio* pb, M_Ratio* r, uint8_t* flag, bool sub) {
  if (pa == nullptr || pb == nullptr || r == nullptr) return M_ERR_BAD_ARG;
  M_Ratio a = *pa, b = *pb;
  if (a.den == 0 || b.den == 0) {
    Store(r, 0, 0);
    return M_ERR_ZERO_DEN;
  }
  M_Ratio out;
  while (!ExactAddOrSub(a, b, sub, out)) {
    const bool ra = ReduceInPlace(a);
    const bool rb = ReduceInPlace(b);
    if (ra || rb) continue;
    if (!ApproxAllowed(flag)) return Finish(r, flag, true, false);
    const double da = static_cast<double>(a.num) / a.den, db = static_cast<double>(b.num) / b.den;
    const bool ok = Approximate(sub ? da - db : da + db, r);
    return Finish(r, flag, !ok, ok);
  }
  *r = out;
  return Finish(r, flag, false, false);
}

// Writes 1/0 through an optional flag.
void Report(uint8_t* flag, bool value) {
  if (uint8_t* f = Reportable(flag)) *f = value ? 1 : 0;
}

// round(n * d1 / d0) exactly, with M_RoundDouble's rule for halves (away from zero, except that
// -1/2 gives 0). The exact quotient stands in for the double one, whose rounding error could
// decide a half. False when the exact value lies outside [INT32_MIN, INT32_MAX], as for the
// double: -2147483648.5 overflows although it would round into range.
bool ScaleRounded(int32_t n, uint32_t d0, uint32_t d1, int32_t& out) {
  const i128 prod = static_cast<i128>(n) * d1;
  const i128 mag = prod < 0 ? -prod : prod;
  const i128 q = mag / d0, twice_rem = 2 * (mag % d0);
  const i128 limit = prod < 0 ? -i128{INT32_MIN} : i128{INT32_MAX};
  if (q > limit || (q == limit && twice_rem != 0)) return false;
  i128 rounded = q + (twice_rem >= d0 ? 1 : 0);
  if (twice_rem == d0 && prod < 0 && q == 0) rounded = 0;  // -1/2, as M_RoundDouble(-0.5)
  out = static_cast<int32_t>(prod < 0 ? -rounded : rounded);
  return true;
}

}  // namespace

extern "C" {

int32_t M_AddRatio(const M_Ratio* a, const M_Ratio* b, M_Ratio* r, uint8_t* overflow) {
  return AddOrSub(a, b, r, overflow, false);
}

int32_t M_SubRatio(const M_Ratio* a, const M_Ratio* b, M_Ratio* r, uint8_t* overflow) {
  return AddOrSub(a, b, r, overflow, true);
}

int32_t M_MulRatio(const M_Ratio* pa, const M_Ratio* pb, M_Ratio* r, uint8_t* flag) {
  if (pa == nullptr || pb == nullptr || r == nullptr) return M_ERR_BAD_ARG;
  M_Ratio a = *pa, b = *pb;
  if (a.den == 0 || b.den == 0) {
    Store(r, 0, 0);
    return M_ERR_BAD_ARG;
  }
  while (true) {
    if (!M_UMulWouldOverflow(a.den, b.den) && !M_MulWouldOverflow(a.num, b.num)) {
      Store(r, static_cast<int32_t>(static_cast<int64_t>(a.num) * b.num), a.den * b.den);
      return Finish(r, flag, false, false);
    }
    // Cross-reduce: each numerator against the other ratio's denominator.
    const uint32_t g1 = Gcd(Magnitude(a.num), b.den);
    const uint32_t g2 = Gcd(Magnitude(b.num), a.den);
    if (g1 <= 1 && g2 <= 1) break;
    a.num = DivideNum(a.num, g1);
    b.den /= g1;
    b.num = DivideNum(b.num, g2);
    a.den /= g2;
  }
  if (!ApproxAllowed(flag)) return Finish(r, flag, true, false);
  const double x = (static_cast<double>(a.num) / a.den) * (static_cast<double>(b.num) / b.den);
  const bool ok = Approximate(x, r);
  return Finish(r, flag, !ok, ok);
}

int32_t M_ReduceRatio(const M_Ratio* a, M_Ratio* r, uint8_t* reduced) {
  if (a == nullptr || r == nullptr) return M_OK;
  M_Ratio v = *a;
  const bool changed = ReduceInPlace(v);  // a zero denominator is left as it is
  *r = v;
  Report(reduced, changed);
  return M_OK;
}

int32_t M_ConvRatio(const M_Ratio* a, uint32_t d, M_Ratio* r, uint8_t* exact, uint8_t* overflow) {
  if (a == nullptr || r == nullptr) return M_ERR_BAD_ARG;
  const M_Ratio v = *a;
  if (v.den == 0 || d == 0) {
    Store(r, 0, 0);
    Report(overflow, false);
    return M_ERR_ZERO_DEN;
  }
  int32_t n = v.num;
  const bool fits = d == v.den || ScaleRounded(v.num, v.den, d, n);
  if (fits) Store(r, n, d);
  else Store(r, 0, 0);
  Report(overflow, !fits);
  // Exact comparison in 64 bits (both products are below 2^63 in magnitude).
  Report(exact, static_cast<int64_t>(v.num) * d == static_cast<int64_t>(r->num) * v.den);
  if (!fits && Reportable(overflow) == nullptr) return M_ERR_BAD_ARG;
  return M_OK;
}

int32_t M_ShortConvRatio(int32_t n, uint32_t d0, uint32_t d1, int32_t* n1, uint8_t* overflow) {
  if (n1 == nullptr) return M_ERR_BAD_ARG;
  if (d0 == 0 || d1 == 0) {
    *n1 = 0;
    Report(overflow, false);
    return M_ERR_ZERO_DEN;
  }
  int32_t v = n;
  const bool fits = d0 == d1 || ScaleRounded(n, d0, d1, v);
  *n1 = fits ? v : 0;
  Report(overflow, !fits);
  if (!fits && Reportable(overflow) == nullptr) return M_ERR_BAD_ARG;
  return M_OK;
}

int32_t M_FpLong2Ratio(double x, M_Ratio* r, uint8_t* overflow) {
  if (r == nullptr) return M_ERR_BAD_ARG;
  Report(overflow, false);
  if (x == 0) return Store(r, 0, 1), M_OK;
  if (__builtin_isnan(x) || __builtin_isinf(x)) {
    Report(overflow, true);
    return Store(r, 0, 0), M_OK;
  }
  int e = 0;
  const double m = std::frexp(x, &e);
  if (e > 31) {
    Report(overflow, true);
    return Store(r, 0, 0), M_OK;
  }
  if (e < -31) return Store(r, 0, 1), M_OK;
  // |x| = mant / 2^(53 - e) exactly, with -31 <= e <= 31.
  const auto mant = static_cast<u128>(static_cast<int64_t>(std::ldexp(m < 0 ? -m : m, 53)));
  int64_t num = 0, den = 1;
  BestFraction(mant, u128{1} << (53 - e), num, den);
  const uint32_t g = Gcd(static_cast<uint32_t>(num), static_cast<uint32_t>(den));
  if (g > 1) {
    num /= g;
    den /= g;
  }
  Store(r, static_cast<int32_t>(x < 0 ? -num : num), static_cast<uint32_t>(den));
  return M_OK;
}

int32_t M_UnsignedGCD(uint32_t a, uint32_t b, uint32_t* g) {
  if (g == nullptr) return M_ERR_BAD_ARG;
  if (b == 0) {
    *g = 1;
    return M_OK;
  }
  while (b != 0) {
    const uint32_t t = a % b;
    a = b;
    b = t;
  }
  *g = a;
  return M_OK;
}

// Nearest, halves away from zero, except -0.5, which gives 0: the documented cases 2.5 -> 3,
// -2.5 -> -3, -2.4 -> -2 and -0.5 -> 0. std::round decides exactly, where trunc(x + 0.5) would
// round 0.49999999999999994 up to 1.
int32_t M_RoundDouble(double x) {
  if (__builtin_isnan(x)) return 0;
  const double v = x == -0.5 ? 0.0 : std::round(x);
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

double M_fmod(double x, double y) {
  if (x == 0 || y == 0) return 0;
  const double q = x / y;
  if ((y > 0 && x < 0) || (y < 0 && x >= 0)) return x - std::ceil(q) * y;
  return x - std::floor(q) * y;
}

int32_t M_LeadingZeros(uint32_t v) {
  static const int8_t kTop4[16] = {4, 3, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  if (v == 0) return 32;
  int32_t n = 0;
  if ((v & 0xFFFF0000u) == 0) {
    n += 16;
    v <<= 16;
  }
  if ((v & 0xFF000000u) == 0) {
    n += 8;
    v <<= 8;
  }
  if ((v & 0xF0000000u) == 0) {
    n += 4;
    v <<= 4;
  }
  return n + kTop4[v >> 28];
}

bool M_AddWouldOverflow(int32_t a, int32_t b) {
  int32_t s;
  return __builtin_add_overflow(a, b, &s);
}

bool M_MulWouldOverflow(int32_t a, int32_t b) { return MagnitudesMulOverflow(Magnitude(a), Magnitude(b)); }

bool M_UMulWouldOverflow(uint32_t a, uint32_t b) { return BitLength(a) + BitLength(b) > 32; }

}  // extern "C"
