// Exported rational-number helpers (C linkage, prefix M_). All functions are stateless and
// accept aliased arguments (r may be the same record as a or b).
#pragma once

#include <cstdint>

#ifndef M_EXPORT
#define M_EXPORT __attribute__((visibility("default")))
#endif

// A ratio with denominator 0 is invalid.
struct M_Ratio {
  int32_t num;
  uint32_t den;
};

// Result codes.
inline constexpr int32_t M_OK = 0;
inline constexpr int32_t M_ERR_BAD_ARG = 123;    // null required pointer; conversion out of range
inline constexpr int32_t M_ERR_OVERFLOW = 4354;  // overflow that could not be resolved
inline constexpr int32_t M_ERR_ZERO_DEN = 4358;  // zero denominator

// Overflow flag of add/sub/mul. On entry M_FLAG_APPROX_OK asks for an approximation instead of
// an overflow; on return the flag holds M_FLAG_EXACT, M_FLAG_OVERFLOW or M_FLAG_APPROXIMATED.
inline constexpr uint8_t M_FLAG_EXACT = 0;
inline constexpr uint8_t M_FLAG_OVERFLOW = 1;
inline constexpr uint8_t M_FLAG_APPROXIMATED = 2;
inline constexpr uint8_t M_FLAG_APPROX_OK = 0x2;

// Passing this address as a flag means "approximation acceptable, report nothing": it is never
// dereferenced. Every optional flag parameter below treats it as "not wanted".
inline uint8_t* M_ApproxSilently() { return reinterpret_cast<uint8_t*>(~uintptr_t{0}); }

extern "C" {

// r = a + b, a - b, a * b. Without a flag an unresolved overflow gives r = (0, 0) and
// M_ERR_OVERFLOW; with a flag it gives r = (0, 0), flag 1 and M_OK. A zero denominator gives
// r = (0, 0) and M_ERR_ZERO_DEN (add, sub) or M_ERR_BAD_ARG (mul). An approximation is the best
// fraction with |num| <= 2^31-1, den <= 2^30 of the double result.
M_EXPORT int32_t M_AddRatio(const M_Ratio* a, const M_Ratio* b, M_Ratio* r, uint8_t* overflow);
M_EXPORT int32_t M_SubRatio(const M_Ratio* a, const M_Ratio* b, M_Ratio* r, uint8_t* overflow);
M_EXPORT int32_t M_MulRatio(const M_Ratio* a, const M_Ratio* b, M_Ratio* r, uint8_t* overflow);

// r = a / gcd(|a.num|, a.den); *reduced = 1 when that gcd was not 1. A zero denominator copies
// a (reduced 0). Null a or r: returns M_OK, does nothing.
M_EXPORT int32_t M_ReduceRatio(const M_Ratio* a, M_Ratio* r, uint8_t* reduced);

// r = (round(a.num * d / a.den), d), computed exactly and rounded as M_RoundDouble rounds (so
// -1/2 to denominator 1 gives 0, -3/2 gives -2). *exact (1/0) is written once both
// denominators are non-zero, *overflow (0/1) whenever a and r are given. An exact value outside
// [INT32_MIN, INT32_MAX] gives r = (0, 0), overflow 1 and M_OK, or M_ERR_BAD_ARG when no
// overflow flag is given. A zero denominator gives r = (0, 0) and M_ERR_ZERO_DEN.
M_EXPORT int32_t M_ConvRatio(const M_Ratio* a, uint32_t d, M_Ratio* r, uint8_t* exact, uint8_t* overflow);

// *n1 = round(n * d1 / d0), same rules as M_ConvRatio.
M_EXPORT int32_t M_ShortConvRatio(int32_t n, uint32_t d0, uint32_t d1, int32_t* n1, uint8_t* overflow);

// r = the best fraction for x with |num| <= 2^31-1 and den <= 2^30 (ties: smaller den).
// |x| >= 2^31, infinities and NaN set *overflow = 1 and r = (0, 0); |x| < 2^-32 gives (0, 1).
// Returns M_OK (M_ERR_BAD_ARG for a null r).
M_EXPORT int32_t M_FpLong2Ratio(double x, M_Ratio* r, uint8_t* overflow);

// Euclid's algorithm; b = 0 gives 1 (not a).
M_EXPORT int32_t M_UnsignedGCD(uint32_t a, uint32_t b, uint32_t* g);

// Nearest integer, halves away from zero except -0.5 -> 0 (2.5 -> 3, -2.5 -> -3, -1.5 -> -2).
// NaN gives 0; values beyond int32 saturate.
M_EXPORT int32_t M_RoundDouble(double x);

// Remainder with the sign of x; 0 when x or y is 0; NaN and infinities give NaN.
M_EXPORT double M_fmod(double x, double y);

M_EXPORT int32_t M_LeadingZeros(uint32_t v);
M_EXPORT bool M_AddWouldOverflow(int32_t a, int32_t b);
// Conservative: true when bitlen(|a|) + bitlen(|b|) > 31 (|INT32_MIN| has 32 bits); false
// when either is 0, since the product 0 cannot overflow (bit lengths alone would flag
// 0 * INT32_MIN).
M_EXPORT bool M_MulWouldOverflow(int32_t a, int32_t b);
// Conservative: true when bitlen(a) + bitlen(b) > 32.
M_EXPORT bool M_UMulWouldOverflow(uint32_t a, uint32_t b);

}  // extern "C"
