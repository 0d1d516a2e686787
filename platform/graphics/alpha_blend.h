// How a matte joins the alpha a picture already has. Both are straight (not premultiplied), in
// 0..255 as bytes or 0..1 as floats: replace takes the matte; add a + m (1 - a); subtract
// a (1 - m); intersect a m; difference |a - m|; lighten max(a, m); darken min(a, m). Bytes are
// rounded to nearest from the exact result.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quill {

enum class AlphaBlend : int32_t { kReplace = 0, kAdd, kSubtract, kIntersect, kDifference, kLighten, kDarken };
inline constexpr int32_t kAlphaBlendCount = 7;

// A stored mode value, truncated toward zero; outside the modes (or NaN) it is replace.
inline AlphaBlend AlphaBlendFromValue(double v) {
  if (!(v >= 0 && v < double(kAlphaBlendCount))) return AlphaBlend::kReplace;
  return static_cast<AlphaBlend>(static_cast<int32_t>(v));
}

// round(x / 255) for 0 <= x <= 255 * 255.
inline uint32_t DivideBy255(uint32_t x) { return (x + 127) / 255; }

inline uint8_t BlendAlpha(uint8_t a, uint8_t m, AlphaBlend blend) {
  switch (blend) {
    case AlphaBlend::kReplace: return m;
    case AlphaBlend::kAdd: return uint8_t(a + DivideBy255(uint32_t(m) * (255u - a)));
    case AlphaBlend::kSubtract: return uint8_t(DivideBy255(uint32_t(a) * (255u - m)));
    case AlphaBlend::kIntersect: return uint8_t(DivideBy255(uint32_t(a) * m));
    case AlphaBlend::kDifference: return uint8_t(a > m ? a - m : m - a);
    case AlphaBlend::kLighten: return std::max(a, m);
    case AlphaBlend::kDarken: return std::min(a, m);
  }
  return m;
}

inline float BlendAlpha(float a, float m, AlphaBlend blend) {
  switch (blend) {
    case AlphaBlend::kReplace: return m;
    case AlphaBlend::kAdd: return a + m * (1.0f - a);
    case AlphaBlend::kSubtract: return a * (1.0f - m);
    case AlphaBlend::kIntersect: return a * m;
    case AlphaBlend::kDifference: return std::fabs(a - m);
    case AlphaBlend::kLighten: return std::max(a, m);
    case AlphaBlend::kDarken: return std::min(a, m);
  }
  return m;
}

}  // namespace quill
