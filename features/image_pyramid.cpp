#include "features/image_pyramid.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vantor::tracking {
namespace {

// ceil(n / 2^l) without forming n + 2^l - 1, which could wrap.
uint64_t CeilShift(uint64_t n, uint64_t l) {
  if (l >= 64) return n ? 1 : 0;
  const uint64_t low = n & ((uint64_t{1} << l) - 1);
  return (n >> l) + (low ? 1 : 0);
}

uint64_t CheckedMul(uint64_t a, uint64_t b) {
  if (a && b > std::numeric_limits<uint64_t>::max() / a) throw std::length_error("image_pyramid: size overflows");
  return a * b;
}

// One destination row: columns 1 .. dw-2 from source row `s`, [1, 2, 1] / 4 horizontally.
// The sum keeps the order middle + left + middle + right so results do not depend on the
// unrolling. Four destination pixels a step; C known at compile time lets the compiler unroll
// the channel loop completely.
template <int C>
void FilterRow(const float* s, float* d, int64_t dw) {
  int64_t j = 1;
  for (; j + 4 <= dw - 1; j += 4) {
    for (int k = 0; k < 4; ++k) {
      const float* m = s + 2 * (j + k) * C;
      float* o = d + (j + k) * C;
      for (int c = 0; c < C; ++c) o[c] = (((m[c] + m[c - C]) + m[c]) + m[c + C]) * 0.25f;
    }
  }
  for (; j <= dw - 2; ++j) {
    const float* m = s + 2 * j * C;
    float* o = d + j * C;
    for (int c = 0; c < C; ++c) o[c] = (((m[c] + m[c - C]) + m[c]) + m[c + C]) * 0.25f;
  }
}

void FilterRowAnyChannels(const float* s, float* d, int64_t dw, int64_t C) {
  for (int64_t j = 1; j <= dw - 2; ++j) {
    const float* m = s + 2 * j * C;
    float* o = d + j * C;
    for (int64_t c = 0; c < C; ++c) o[c] = (((m[c] + m[c - C]) + m[c]) + m[c + C]) * 0.25f;
  }
}

}  // namespace

image_pyramid::image_pyramid(uint64_t width, uint64_t height, uint64_t channels, uint64_t levels)
    : width_(width), height_(height), channels_(channels), levels_(levels) {
  offsets_.resize(levels + 1);
  size_t total = 0;
  for (uint64_t l = 0; l < levels; ++l) {
    offsets_[l] = total;
    const uint64_t n = CheckedMul(CheckedMul(level_width(l), level_height(l)), channels);
    if (n > std::numeric_limits<size_t>::max() - total) throw std::length_error("image_pyramid: size overflows");
    total += n;
  }
  offsets_[levels] = total;
  data_.resize(total);
}

uint64_t image_pyramid::level_width(uint64_t l) const { return CeilShift(width_, l); }
uint64_t image_pyramid::level_height(uint64_t l) const { return CeilShift(height_, l); }

float* image_pyramid::level(uint64_t l) { return l < levels_ ? data_.data() + offsets_[l] : nullptr; }
const float* image_pyramid::level(uint64_t l) const { return l < levels_ ? data_.data() + offsets_[l] : nullptr; }

// Destination pixel (j, i) is centred on source pixel (2j, 2i); only the source rows that a
// destination row samples are filtered, straight into the destination, so the scratch buffer
// of the full-frame formulation is not needed. Results are the same: rows are point-sampled.
void image_pyramid::build(std::vector<float>& /*scratch*/) { build(); }

void image_pyramid::build() {
  const int64_t C = static_cast<int64_t>(channels_);
  if (C == 0) return;
  for (uint64_t l = 1; l < levels_; ++l) {
    const int64_t w = static_cast<int64_t>(level_width(l - 1)), h = static_cast<int64_t>(level_height(l - 1));
    const int64_t dw = static_cast<int64_t>(level_width(l)), dh = static_cast<int64_t>(level_height(l));
    const float* src = level(l - 1);
    float* dst = level(l);
    const int64_t dstride = dw * C;
    // Too small to filter: only the first row is defined (zero); the rest keeps what it held.
    if (w < 3 || h < 3) {
      std::fill_n(dst, dstride, 0.0f);
      continue;
    }
    std::fill_n(dst, dstride, 0.0f);
    for (int64_t i = 1; i <= dh - 2; ++i) {
      const float* s = src + 2 * i * w * C;
      float* d = dst + i * dstride;
      std::fill_n(d, C, 0.0f);
      switch (C) {
        case 1: FilterRow<1>(s, d, dw); break;
        case 3: FilterRow<3>(s, d, dw); break;
        case 4: FilterRow<4>(s, d, dw); break;
        default: FilterRowAnyChannels(s, d, dw, C); break;
      }
      std::fill_n(d + (dw - 1) * C, C, 0.0f);
    }
    std::fill_n(dst + (dh - 1) * dstride, dstride, 0.0f);
  }
}

}  // namespace vantor::tracking
